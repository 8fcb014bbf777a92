#!/usr/bin/env bash
# Builds and runs the fuzz targets (see CMakeLists.txt beside this file).
#
#   fuzz.sh build  BUILD_DIR [CXX [FLAGS]]       configure and build with clang
#   fuzz.sh run    BUILD_DIR TARGET ROOT SHARED  fuzz for CALVENOR_FUZZ_SECONDS (60)
#   fuzz.sh replay BUILD_DIR TARGET INPUT_DIR    run saved inputs once each
#   fuzz.sh seeds  TARGET ROOT SHARED OUT_DIR    write the seed corpus only
#
# TARGET is free_form, test_list or load. Seeds come from ROOT/examples and
# SHARED/vectors/evaluations at run time. The corpus grows in
# BUILD_DIR/corpus/TARGET; a crash leaves its input in BUILD_DIR/artifacts/.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"

# Data sets: folders holding vornevResult/evReadInList.txt.
data_sets() {
    local root=$1 shared=$2
    find "$root/examples" "$shared/vectors/evaluations" -path '*/expected-reports' -prune -o \
        -type f -name evReadInList.txt -print 2>/dev/null | sed 's|/vornevResult/evReadInList.txt$||' | sort
}

# One load input: the list, the parameters of the set's first call, then
# every input file of the set.
load_seed() {
    local set=$1 list=$2
    cat "$set/vornevResult/$list"
    if [ -f "$set/calls.txt" ]; then
        printf '\n@@@ :params\n'
        head -n 1 "$set/calls.txt"
    fi
    (cd "$set" && find . -path ./expected-reports -prune -o -type f -print | sed 's|^\./||' | sort) |
        while IFS= read -r name; do
            case "$name" in
                vornevResult/evReadInList*.txt | calls.txt | expected.txt | *.DAT | *.md) continue ;;
            esac
            printf '\n@@@ %s\n' "$name"
            cat "$set/$name"
        done
}

# A folder for the host files the fuzz targets write, in memory if possible.
scratch() {
    mktemp -d -p /dev/shm calvenor-fuzz.XXXXXX 2>/dev/null || mktemp -d
}

write_seeds() {
    local target=$1 root=$2 shared=$3 out=$4
    mkdir -p "$out"
    local k=0 set
    while IFS= read -r set; do
        k=$((k + 1))
        case "$target" in
            load)
                load_seed "$set" evReadInList.txt >"$out/set$k"
                [ -f "$set/vornevResult/evReadInListZong.txt" ] &&
                    load_seed "$set" evReadInListZong.txt >"$out/set$k-full"
                ;;
            test_list)
                cp "$set/vornevResult/evReadInList.txt" "$out/list$k"
                [ -f "$set/vornevResult/evReadInListZong.txt" ] &&
                    cp "$set/vornevResult/evReadInListZong.txt" "$out/list$k-full"
                ;;
            free_form)
                local f j=0
                while IFS= read -r f; do
                    j=$((j + 1))
                    cp "$f" "$out/file$k-$j"
                done < <(find "$set" -path "$set/expected-reports" -prune -o -type f -name '*.txt' -print)
                ;;
        esac
    done < <(data_sets "$root" "$shared")
    true
}

case "${1:-}" in
    build)
        build=$2
        cxx=${3:-clang++-14}
        flags=()
        # FLAGS: the main build's exactness flags, as a CMake list.
        [ -n "${4:-}" ] && flags=(-DCALVENOR_EXACT_FLAGS="$4")
        cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" "${flags[@]}" >/dev/null
        cmake --build "$build" -j2
        ;;
    seeds)
        write_seeds "$2" "$3" "$4" "$5"
        ;;
    run)
        build=$2 target=$3 root=$4 shared=$5
        seconds=${CALVENOR_FUZZ_SECONDS:-60}
        seeds=$(mktemp -d)
        CALVENOR_FUZZ_TMP=$(scratch)
        export CALVENOR_FUZZ_TMP
        trap 'rm -rf "$seeds" "$CALVENOR_FUZZ_TMP"' EXIT
        write_seeds "$target" "$root" "$shared" "$seeds"
        mkdir -p "$build/corpus/$target" "$build/artifacts"
        echo "fuzzing $target for $seconds s from $(ls "$seeds" | wc -l) seeds"
        status=0
        "$build/${target}_fuzzer" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=3072 \
            -max_len=65536 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
            "$build/corpus/$target" "$seeds" || status=$?
        if [ $status -ne 0 ]; then
            echo "The fuzzer found a failing input; its file is named above (artifacts/)." >&2
            echo "Keep it as a regression test: copy it into tests/testdata/regressions/$target/." >&2
        fi
        exit $status
        ;;
    replay)
        build=$2 target=$3 inputs=$4
        shopt -s nullglob
        files=("$inputs"/*)
        if [ ${#files[@]} -eq 0 ]; then
            echo "no saved inputs for $target"
            exit 0
        fi
        CALVENOR_FUZZ_TMP=$(scratch)
        export CALVENOR_FUZZ_TMP
        trap 'rm -rf "$CALVENOR_FUZZ_TMP"' EXIT
        "$build/${target}_fuzzer" "${files[@]}" 2>&1 | tail -n 3
        exit "${PIPESTATUS[0]}"
        ;;
    *)
        sed -n '2,12p' "$0" >&2
        exit 2
        ;;
esac
