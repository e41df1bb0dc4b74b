#!/usr/bin/env bash
# The footprint gate of a pull (merge) request, as the CI examples beside this file run it: the
# target branch and the change are built in two folders (or the target branch's stored report
# is used), and tarnwick compares each map of the change with the target branch's in one run
# that writes every report of the gate, all with the same verdict:
#   footprint.md               the comment (the first line is a hidden marker naming the target)
#   footprint.json             the change's report with the comparison and the verdict
#   footprint.junit.xml        a test case per gate and budget (GitLab, Jenkins, Azure Pipelines)
#   footprint.sarif            the findings for code scanning
#   footprint.codequality.json GitLab's Code Quality report
#   footprint.metrics.txt      GitLab's metrics report (OpenMetrics)
#   footprint.base.json        the target branch's report: keep it as the next run's BASELINE
# With several maps (several targets of one repository) each is its own target, named after its
# map (its comment, its budgets under [targets.NAME] in the configuration), and its files are
# named footprint-NAME.*. Exit status: 0 when every gate passes, 1 when a gate fails,
# 2 for bad input (a build that fails, a missing map, tarnwick not installed), 3 for a bug; with
# several maps the worst of them.
#
# BUILD       the command that builds the firmware into the folder it is given (required)
# BASE_SHA    the target branch's commit (required unless BASELINE is given)
# BASELINE    the target branch's stored report (footprint.base.json of an earlier run, e.g. a
#             downloaded artifact): the target branch is not rebuilt. With several maps, a
#             folder holding footprint-NAME.base.json for each
# BASE_LABEL  how the comment names the target branch (default: BASE_SHA, else "the baseline")
# MAPS        the maps' file names in the build folder, separated by spaces (default: firmware.map)
# STACK_USAGE folders below the build folder holding the .su and .ci stack files, separated by
#             spaces (stack files beside the objects are found without it)
# GROWTH      growth limits, separated by spaces (default: "RAM=2% 4096")
# CONFIG      tarnwick's configuration (default: the one found, as tarnwick finds it)
# HISTORY_BRANCH, STORE the build history footprint-history.sh records (a git branch of JSON
#             Lines, or a store): when there is one, the comment shows each region's trend
set -uo pipefail
: "${BUILD:?names the command that builds into a folder}"
if [ -z "${BASELINE:-}" ]; then
    : "${BASE_SHA:?names the commit of the target branch (or give BASELINE, a stored report)}"
fi
if ! command -v tarnwick >/dev/null 2>&1; then
    echo "footprint-gate: tarnwick is not installed (not on the PATH)" >&2
    exit 2
fi
read -r -a maps <<< "${MAPS:-firmware.map}"
read -r -a growth <<< "${GROWTH:-RAM=2% 4096}"
read -r -a stack_dirs <<< "${STACK_USAGE:-}"
config=()
[ -n "${CONFIG:-}" ] && config=(--config "$CONFIG")
limits=()
for limit in "${growth[@]}"; do limits+=(--fail-on-growth "$limit"); done

base=.footprint-base
cleanup() { [ -d "$base" ] && git worktree remove --force "$base" >/dev/null 2>&1; }
trap cleanup EXIT
if [ -z "${BASELINE:-}" ]; then
    cleanup
    git worktree add --detach "$base" "$BASE_SHA" >/dev/null || exit 2
    (cd "$base" && $BUILD "$OLDPWD/out/base") || exit 2
    cleanup
fi
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

stack() {  # the --stack-usage options of one build folder
    local dir
    for dir in "${stack_dirs[@]}"; do printf '%s\0' --stack-usage "$1/$dir"; done
}

worst=0
for map in "${maps[@]}"; do
    name=footprint
    target=()
    if [ "${#maps[@]}" -gt 1 ]; then
        name="footprint-$(basename "${map%.*}")"
        target=(--target "$(basename "${map%.*}")")
    fi
    if [ -n "${BASELINE:-}" ]; then
        old=$BASELINE
        [ -d "$BASELINE" ] && old="$BASELINE/$name.base.json"
    else
        # the target branch's report, with its stack, is both the comparison's earlier side and
        # the stored report a later run may use as its BASELINE; not the gate's verdict, so not
        # told to the CI host
        old="$name.base.json"
        mapfile -d '' base_stack < <(stack out/base)
        env -u GITHUB_ACTIONS -u TF_BUILD tarnwick analyze "out/base/$map" "${config[@]}" "${target[@]}" "${base_stack[@]}" \
            --format json --output "$old" >/dev/null
        status=$?
        if [ "$status" -gt 1 ]; then
            [ "$status" -gt "$worst" ] && worst=$status
            continue
        fi
    fi
    mapfile -d '' pr_stack < <(stack out/pr)
    tarnwick diff "$old" "out/pr/$map" "${config[@]}" "${target[@]}" "${pr_stack[@]}" "${store[@]}" \
        --format markdown --output "$name.md" \
        --also "json=$name.json" --also "junit=$name.junit.xml" --also "sarif=$name.sarif" \
        --also "gitlab-codequality=$name.codequality.json" --also "gitlab-metrics=$name.metrics.txt" \
        --baseline-label "${BASE_LABEL:-${BASE_SHA:-the baseline}}" "${limits[@]}" --fail-on-budget
    status=$?
    [ "$status" -gt "$worst" ] && worst=$status
done
exit "$worst"
