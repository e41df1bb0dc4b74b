#!/usr/bin/env bash
# The footprint gate of a pull (merge) request, as the GitHub Actions and GitLab CI examples
# beside this file run it: the target branch and the change are built in two folders, tarnwick
# compares them into footprint.md (the comment) and footprint.json (the change's report), and
# the job's status is tarnwick's: 1 when a gate fails, 2 for bad input, 3 for a bug.
#
# BASE_SHA   the target branch's commit (required)
# BUILD      the command that builds the firmware into the folder it is given (required)
# BASE_LABEL how the comment names the target branch (default: BASE_SHA)
# MAP        the map's file name in that folder (default: firmware.map)
# CONFIG     tarnwick's configuration (default: ./tarnwick.toml when present)
# HISTORY_BRANCH, STORE  the build history footprint-history.sh records (a git branch of JSON
#            Lines, or a store): when there is one, the comment shows each region's trend
set -uo pipefail
: "${BASE_SHA:?names the commit of the target branch}" "${BUILD:?names the command that builds into a folder}"
map=${MAP:-firmware.map}
config=()
[ -n "${CONFIG:-}" ] && config=(--config "$CONFIG")

git worktree remove --force .footprint-base 2>/dev/null
git worktree add --detach .footprint-base "$BASE_SHA" >/dev/null || exit 2
(cd .footprint-base && $BUILD "$OLDPWD/out/base") || exit 2
$BUILD out/pr || exit 2

store=()
if [ -n "${HISTORY_BRANCH:-}" ] && git fetch -q origin "$HISTORY_BRANCH" 2>/dev/null; then
    rm -f .footprint-history.sqlite
    git show FETCH_HEAD:history.jsonl > .footprint-history.jsonl \
        && tarnwick history import .footprint-history.jsonl --store .footprint-history.sqlite >/dev/null \
        && store=(--store .footprint-history.sqlite)
elif [ -n "${STORE:-}" ]; then
    store=(--store "$STORE")
fi
tarnwick diff "out/base/$map" "out/pr/$map" "${config[@]}" "${store[@]}" --format markdown --output footprint.md \
    --baseline-label "${BASE_LABEL:-$BASE_SHA}" --fail-on-growth RAM=2% --fail-on-growth 4096 --fail-on-budget
status=$?
tarnwick analyze "out/pr/$map" "${config[@]}" --format json --output footprint.json || exit $?
exit "$status"
