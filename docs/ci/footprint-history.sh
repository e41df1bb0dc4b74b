#!/usr/bin/env bash
# Records the footprint of the commit checked out into the build history, as the GitHub Actions
# and GitLab CI examples beside this file run it on every push to the target branch. Commit,
# parents, time and branch come from git and the CI host; the job's status is tarnwick's.
#
# BUILD           the command that builds the firmware into the folder it is given (required)
# STORE           the history: a postgresql:// URL or a SQLite file (default: .tarnwick/history.sqlite)
# HISTORY_BRANCH  keep the history on this git branch as JSON Lines (history.jsonl): read before
#                 the record, pushed after it (tried again when another job pushed first)
# MAP             the map's file name in the build folder (default: firmware.map)
# CONFIG          tarnwick's configuration (default: ./tarnwick.toml when present)
set -uo pipefail
: "${BUILD:?names the command that builds into a folder}"
map=${MAP:-firmware.map}
config=()
[ -n "${CONFIG:-}" ] && config=(--config "$CONFIG")
store=${STORE:-.tarnwick/history.sqlite}
lines=.footprint-history.jsonl

$BUILD out/main || exit 2
if [ -z "${HISTORY_BRANCH:-}" ]; then
    tarnwick history record "out/main/$map" "${config[@]}" --store "$store"
    exit $?
fi
for attempt in 1 2 3; do
    parent=()
    if git fetch -q origin "$HISTORY_BRANCH" 2>/dev/null; then
        parent=(-p "$(git rev-parse FETCH_HEAD)")
        git show FETCH_HEAD:history.jsonl > "$lines" || exit 2
        tarnwick history import "$lines" --store "$store" >/dev/null || exit $?
    fi
    tarnwick history record "out/main/$map" "${config[@]}" --store "$store" || exit $?
    tarnwick history export --store "$store" --output "$lines" || exit $?
    # a commit of the one file, made without touching the work tree
    tree=$(printf '100644 blob %s\thistory.jsonl\n' "$(git hash-object -w "$lines")" | git mktree)
    commit=$(GIT_AUTHOR_NAME=tarnwick GIT_AUTHOR_EMAIL=tarnwick@localhost GIT_COMMITTER_NAME=tarnwick \
             GIT_COMMITTER_EMAIL=tarnwick@localhost git commit-tree "$tree" "${parent[@]}" \
             -m "footprint of $(git rev-parse --short HEAD)") || exit 2
    git push -q origin "$commit:refs/heads/$HISTORY_BRANCH" && exit 0
    echo "footprint-history: another job pushed $HISTORY_BRANCH first; trying again" >&2
done
exit 2
