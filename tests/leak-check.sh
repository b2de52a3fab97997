#!/usr/bin/env bash
# Runs a test under LeakSanitizer and fails only on leaks that the
# program's own code allocated: a leak whose allocating frames (the first
# four after the allocator) lie in the program's sources. The toolkit and
# the sound and display libraries keep caches until exit; those are counted
# but not held against the program.
#   tests/leak-check.sh SOURCE_DIR COMMAND [ARGS...]
set -uo pipefail
src=$1
shift
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0 \
LSAN_OPTIONS=exitcode=0:log_path="$logs/lsan" "$@" >"$logs/out" 2>&1
status=$?
if [[ $status -ne 0 ]]; then
    cat "$logs/out" "$logs"/lsan* 2>/dev/null
    echo "leak-check: the test itself failed ($status)"
    exit 1
fi
cat "$logs"/lsan* 2>/dev/null | awk -v src="$src/" '
    /^(Direct|Indirect) leak of/ { if (inleak && own) ownleaks++; inleak = 1; own = 0; leaks++; bytes += $4; next }
    inleak && /^    #[1-4] / {
        for (i = 1; i <= NF; i++)
            if (index($i, src) == 1 && $i !~ /\/tests\// && $i !~ /_autogen\//) own = 1
    }
    END {
        if (inleak && own) ownleaks++
        printf "leak-check: %d leaks, %d bytes in all, %d from the program'"'"'s own code\n", leaks, bytes, ownleaks
        exit ownleaks > 0
    }'
result=$?
if [[ $result -ne 0 ]]; then
    grep -h -A8 -E '^(Direct|Indirect) leak of' "$logs"/lsan* | grep -B4 -A4 "$src/[a-z]*\.cpp" | head -60
fi
exit $result
