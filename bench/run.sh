#!/usr/bin/env bash
# Benchmark of KESTREL against cp of the same input on the same disk, and
# against the floor: a program that makes the conversion's I/O passes and
# does no conversion work.
#
#   bench/run.sh [WORK_DIRECTORY]
#
# Builds the release binary, the folder generator and the timing wrapper, generates the inputs
# (seeded, so the same bytes every time), checks that the mailbox of case a
# matches the committed checksum, and measures, alternating KESTREL and cp
# runs, the median wall time of each case, the ratio of the two, the
# throughput and KESTREL's peak resident memory.
#
# Environment:
#   KESTREL_BENCH_DIR        work directory for inputs and outputs, unless
#                            given as the argument (default: build/bench-data
#                            in the repository); a tmpfs (/dev/shm) leaves
#                            out the disk and measures the conversion's work
#   KESTREL_BENCH_CASES      the cases to run (default "a b c d e m")
#   KESTREL_BENCH_SCALING=0  leave out the scaling check
#   KESTREL_BENCH_BUILD_DIR  build directory of the release binary
#                            (default: build/release, the release preset's)
#   KESTREL_BENCH_RUNS       timed runs per program and case (default 5)
#   KESTREL_BENCH_QUICK=1    inputs 1/16 of the size, no checksum check: for
#                            trying the script out, not for figures
#   KESTREL_BENCH_RECORD=1   write bench/expected-case-a.sha256 from this run
#                            instead of checking it (only with a program
#                            whose output is known to be right)
set -euo pipefail

bench=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$bench")
build_dir=${KESTREL_BENCH_BUILD_DIR:-$repo/build/release}
work=${1:-${KESTREL_BENCH_DIR:-$repo/build/bench-data}}
cases=${KESTREL_BENCH_CASES:-a b c d e m}
scaling=${KESTREL_BENCH_SCALING:-1}
runs=${KESTREL_BENCH_RUNS:-5}
quick=${KESTREL_BENCH_QUICK:-0}
record=${KESTREL_BENCH_RECORD:-0}
expected_sums=$bench/expected-case-a.sha256

fail() {
    echo >&2
    echo "bench: FAILED: $*" >&2
    exit 1
}

mib=$((1024 * 1024))
scale=1
[[ $quick == 1 ]] && scale=16

# --- build ------------------------------------------------------------------
echo "Building the release binary in $build_dir" >&2
cmake --preset release -B "$build_dir" >/dev/null
cmake --build "$build_dir" -j2 --target kestrel kestrel-folder kestrel-mbx >/dev/null
kestrel=$build_dir/kestrel
kestrel_folder=$build_dir/folder/kestrel-folder
kestrel_mbx=$build_dir/mbx/kestrel-mbx
cmake -S "$bench" -B "$build_dir/bench-tools" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir/bench-tools" >/dev/null
generator=$build_dir/bench-tools/generate_folder
measure=$build_dir/bench-tools/measure
floor=$build_dir/bench-tools/floor

# --- inputs -----------------------------------------------------------------
mkdir -p "$work/inputs" "$work/run" "$work/out" "$work/inputs/list" "$work/inputs/small"
generator_sum=$(sha256sum "$bench/generate_folder.cpp" | cut -d' ' -f1)

# generate FILE OPTIONS...: makes FILE unless it was made by this generator
# with these options already.
generate() {
    local file=$1
    shift
    local stamp="$generator_sum $*"
    if [[ -f $file && -f $file.stamp && $(<"$file.stamp") == "$stamp" ]]; then
        return
    fi
    "$generator" --output "$file" "$@"
    echo "$stamp" >"$file.stamp"
}

echo "Generating the inputs in $work/inputs" >&2
in=$work/inputs
generate "$in/case_a.txt" --size $((256 * mib / scale)) --message-size 2048 --seed 1
generate "$in/case_a2.txt" --size $((512 * mib / scale)) --message-size 2048 --seed 1
generate "$in/case_b.txt" --size $((128 * mib / scale)) --message-size 150 --seed 2
generate "$in/case_c.txt" --size $((256 * mib / scale)) --message-size $((256 * mib / scale)) \
    --line-min 2000 --line-max 5000 --seed 3
list=$in/list.txt
: >"$list"
for i in $(seq -w 1 64); do
    generate "$in/list/folder_$i.txt" --size $((mib / scale)) --message-size 2048 --seed $((100 + 10#$i))
    echo "$in/list/folder_$i.txt" >>"$list"
done

# Case e: 1,000 small folders of 4-40 KiB (the sizes from the seed too).
small_list=$in/small_list.txt
: >"$small_list"
for i in $(seq -w 1 1000); do
    n=$((10#$i))
    size=$(((4 + (n * 7919 % 37)) * 1024 / scale))
    generate "$in/small/folder_$i.txt" --size $size --message-size 2048 --seed $((5000 + n))
    echo "$in/small/folder_$i.txt" >>"$small_list"
done

# Case m: the mailbox of case a, made once by the program itself (again
# whenever the folder or the program changed).
mailbox_m=$in/mailbox/case_a.MBX
mkdir -p "$in/mailbox"
mailbox_stamp="$(sha256sum "$in/case_a.txt" "$kestrel" | cut -d' ' -f1 | tr '\n' ' ')"
if [[ ! -f $mailbox_m || ! -f $mailbox_m.stamp || $(<"$mailbox_m.stamp") != "$mailbox_stamp" ]]; then
    rm -f "$mailbox_m"
    (cd "$in/mailbox" && env -i TZ=UTC KESTREL_VAX_USERNAME=SMITH "$kestrel" "$in/case_a.txt" . \
        </dev/null >/dev/null) || fail "could not make the mailbox of case m"
    echo "$mailbox_stamp" >"$mailbox_m.stamp"
fi

# --- running ----------------------------------------------------------------
out=$work/out
run=$work/run
log=$work/kestrel.log

clear_outputs() {
    find "$out" "$run" -mindepth 1 -delete
}

# timed ARGS...: runs the command through the measuring wrapper and sets
# seconds (wall), rss_kib, status, cpu (user + system seconds) and quiet
# (wall seconds less the time spent waiting for a processor while other
# processes had it: what the run takes on an otherwise idle machine). Dirty
# pages of the previous run are written out first, so that no run pays for
# another's writes.
timed() {
    sync
    local result waiting
    result=$("$measure" "$@") || fail "could not run: $*"
    read -r seconds rss_kib status cpu waiting <<<"$result"
    quiet=$(awk -v s="$seconds" -v w="$waiting" 'BEGIN { print (w < 0) ? s : s - w }')
}

# Checks the log and status of the KESTREL run just made.
check_kestrel_run() {
    local expected_count=$1
    [[ $status == 0 ]] || fail "kestrel exited with status $status; see $log"
    local created
    created=$(grep -c 'created$' "$log" || true)
    [[ $created == "$expected_count" ]] ||
        fail "kestrel created $created mailbox(es), expected $expected_count; see $log"
}

kestrel_folder() {
    timed --cwd "$run" --stdin /dev/null --stdout "$log" -- "$kestrel" "$1" "$out"
    check_kestrel_run 1
}

kestrel_list() {
    timed --cwd "$run" --stdin "$list" --stdout "$log" -- "$kestrel" "$out"
    check_kestrel_run 64
}

# Case e writes into a directory made for the run: file systems are slower
# at creating files in a directory where many were just deleted.
fresh_out() {
    fresh=$out/fresh_$RANDOM$RANDOM
    mkdir "$fresh"
}

kestrel_small() {
    fresh_out
    timed --cwd "$run" --stdin "$small_list" --stdout "$log" -- "$kestrel" "$fresh"
    check_kestrel_run 1000
}

floor_folder() {
    timed --cwd "$run" -- "$floor" --commit "$out" "$1"
    [[ $status == 0 ]] || fail "floor exited with status $status"
}

floor_spill() {
    timed --cwd "$run" -- "$floor" --spill --commit "$out" "$1"
    [[ $status == 0 ]] || fail "floor exited with status $status"
}

floor_list_of() {
    local files
    mapfile -t files <"$1"
    timed --cwd "$run" -- "$floor" --commit "$2" "${files[@]}"
    [[ $status == 0 ]] || fail "floor exited with status $status"
}
floor_list() { floor_list_of "$list" "$out"; }
floor_small() {
    fresh_out
    floor_list_of "$small_list" "$fresh"
}

cp_folder() {
    timed --cwd "$run" -- cp "$1" "$out/copy.txt"
    [[ $status == 0 ]] || fail "cp exited with status $status"
}

cp_list_of() {
    local files
    mapfile -t files <"$1"
    timed --cwd "$run" -- cp "${files[@]}" "$2/"
    [[ $status == 0 ]] || fail "cp exited with status $status"
}
cp_list() { cp_list_of "$list" "$out"; }
cp_small() {
    fresh_out
    cp_list_of "$small_list" "$fresh"
}

# Case m: kestrel-mbx exports the mailbox as an mbox; against it, dd copies
# the mailbox in 256 KiB blocks (its floor and its cp alike).
mbx_export() {
    timed --cwd "$run" --stdin /dev/null -- "$kestrel_mbx" mbox "$mailbox_m" "$out/export.mbox"
    [[ $status == 0 ]] || fail "kestrel-mbx exited with status $status"
}

dd_mailbox() {
    timed --cwd "$run" -- dd if="$mailbox_m" of="$out/copy.MBX" bs=256k status=none
    [[ $status == 0 ]] || fail "dd exited with status $status"
}

median() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 }
        END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# The byte-identical check: the input must be the generator's usual output,
# and the mailbox made from it the one committed.
check_case_a() {
    local input_sum mailbox_sum
    input_sum=$(sha256sum "$in/case_a.txt" | cut -d' ' -f1)
    mailbox_sum=$(sha256sum "$out/case_a.MBX" | cut -d' ' -f1)
    if [[ $quick == 1 ]]; then
        echo "Quick run: the checksum of case a is not checked" >&2
        return
    fi
    if [[ $record == 1 ]]; then
        printf '%s  case_a.txt\n%s  case_a.MBX\n' "$input_sum" "$mailbox_sum" >"$expected_sums"
        echo "Recorded the checksums of case a in $expected_sums" >&2
        return
    fi
    [[ -f $expected_sums ]] || fail "$expected_sums is missing"
    local want_input want_mailbox
    want_input=$(awk '$2 == "case_a.txt" { print $1 }' "$expected_sums")
    want_mailbox=$(awk '$2 == "case_a.MBX" { print $1 }' "$expected_sums")
    if [[ $input_sum != "$want_input" ]]; then
        fail "the generated input of case a changed (sha256 $input_sum, expected $want_input):
the generator no longer makes the folder the checksum was taken from"
    fi
    if [[ $mailbox_sum != "$want_mailbox" ]]; then
        echo "==================================================================" >&2
        echo " MAILBOX OF CASE A DIFFERS FROM THE COMMITTED ONE" >&2
        echo "   got      $mailbox_sum" >&2
        echo "   expected $want_mailbox" >&2
        echo " The program's output changed. The mailbox is kept in $out." >&2
        echo "==================================================================" >&2
        exit 1
    fi
    echo "Case a: mailbox matches $expected_sums" >&2
}

rows=()

# measure_case NAME FLOOR_TARGET CP_TARGET INPUT_BYTES KESTREL_FN FLOOR_FN CP_FN [INPUT]
# Alternates the three programs; the targets are the largest ratios of
# KESTREL's quiet median to the floor's and to cp's ("-": none). The verdict
# uses the floor's target, and cp's where the floor has none.
measure_case() {
    local name=$1 floor_target=$2 cp_target=$3 bytes=$4 kestrel_fn=$5 floor_fn=$6 cp_fn=$7
    local args=("${@:8}")
    local k_wall=() k_quiet=() k_cpu=() f_quiet=() c_wall=() c_quiet=() peak=0 i
    echo "Case $name: $runs runs each" >&2
    clear_outputs
    for ((i = 1; i <= runs; i++)); do
        $kestrel_fn "${args[@]}"
        k_wall+=("$seconds") k_quiet+=("$quiet") k_cpu+=("$cpu")
        if ((rss_kib > peak)); then peak=$rss_kib; fi
        if [[ $name == a && $i == 1 ]]; then check_case_a; fi
        clear_outputs
        $floor_fn "${args[@]}"
        f_quiet+=("$quiet")
        clear_outputs
        $cp_fn "${args[@]}"
        c_wall+=("$seconds") c_quiet+=("$quiet")
        clear_outputs
    done
    echo "  kestrel wall ${k_wall[*]}; quiet ${k_quiet[*]}; cpu ${k_cpu[*]}" >&2
    echo "  floor   quiet ${f_quiet[*]}" >&2
    echo "  cp      wall ${c_wall[*]}; quiet ${c_quiet[*]}" >&2
    rows+=("$(awk -v n="$name" -v ft="$floor_target" -v ct="$cp_target" -v b="$bytes" -v p="$peak" \
        -v kw="$(median "${k_wall[@]}")" -v cw="$(median "${c_wall[@]}")" \
        -v kq="$(median "${k_quiet[@]}")" -v fq="$(median "${f_quiet[@]}")" \
        -v cq="$(median "${c_quiet[@]}")" -v kc="$(median "${k_cpu[@]}")" 'BEGIN {
        rf = kq / fq
        rc = kq / cq
        # The floor target where there is one: cp copies inside the kernel
        # and, on a tmpfs, is no measure of a conversion.
        within = (ft != "-") ? (rf <= ft) : (ct == "-" || rc <= ct)
        verdict = (p <= 8192 && within) ? "ok" : "OVER"
        printf "%-4s %5.0f %8.3f %7.3f %6.2f %8.3f %7.3f %7.3f %6.2f %5s %6.2f %5s %7.1f %7.3f %7.2f  %s",
            n, b / 1048576, kw, cw, kw / cw, kq, fq, cq, rf, ft, rc, ct, b / kq / 1e6, kc, p / 1024, verdict
    }')")
}

bytes_of() { stat -c %s "$1"; }
list_bytes=0
while read -r f; do list_bytes=$((list_bytes + $(bytes_of "$f"))); done <"$list"

pressure() {
    if [[ -r /proc/pressure/cpu ]]; then
        awk '/^some/ { sub("avg60=", "", $3); print $3 "%" }' /proc/pressure/cpu
    else
        echo "unknown"
    fi
}
pressure_before=$(pressure)

small_bytes=0
while read -r f; do small_bytes=$((small_bytes + $(bytes_of "$f"))); done <"$small_list"

for c in $cases; do
    case $c in
    a) measure_case a 1.8 3.0 "$(bytes_of "$in/case_a.txt")" kestrel_folder floor_folder cp_folder "$in/case_a.txt" ;;
    b) measure_case b 3.5 4.0 "$(bytes_of "$in/case_b.txt")" kestrel_folder floor_folder cp_folder "$in/case_b.txt" ;;
    c) measure_case c 1.3 3.0 "$(bytes_of "$in/case_c.txt")" kestrel_folder floor_spill cp_folder "$in/case_c.txt" ;;
    d) measure_case d 2.1 4.0 "$list_bytes" kestrel_list floor_list cp_list ;;
    e) measure_case e 1.5 - "$small_bytes" kestrel_small floor_small cp_small ;;
    m) measure_case m 2.0 2.0 "$(bytes_of "$mailbox_m")" mbx_export dd_mailbox dd_mailbox ;;
    *) fail "no case $c" ;;
    esac
done

# The folder check against the conversion, on case a: kestrel-folder check
# reads the folder once as the converter does, and takes at most 1.5 times
# the converter's time.
check_wall=() check_quiet=() convert_quiet=() check_peak=0
if [[ " $cases " == *" a "* ]]; then
    echo "Check: kestrel-folder check and kestrel on case a, $runs runs each" >&2
    clear_outputs
    for ((i = 1; i <= runs; i++)); do
        timed --cwd "$run" --stdin /dev/null --stdout "$log" -- "$kestrel_folder" check "$in/case_a.txt"
        [[ $status == 0 ]] || fail "kestrel-folder check exited with status $status; see $log"
        check_wall+=("$seconds") check_quiet+=("$quiet")
        if ((rss_kib > check_peak)); then check_peak=$rss_kib; fi
        kestrel_folder "$in/case_a.txt"
        convert_quiet+=("$quiet")
        clear_outputs
    done
    echo "  check quiet ${check_quiet[*]}; kestrel quiet ${convert_quiet[*]}" >&2
fi

# Scaling: case a at twice the size, alternating with the normal size.
small_wall=() small_quiet=() small_cpu=() large_wall=() large_quiet=() large_cpu=()
floor_small_quiet=() floor_large_quiet=()
if [[ $scaling == 1 ]]; then
    echo "Scaling: case a at its size and at twice the size, $runs runs each" >&2
    clear_outputs
    for ((i = 1; i <= runs; i++)); do
        kestrel_folder "$in/case_a.txt"
        small_wall+=("$seconds") small_quiet+=("$quiet") small_cpu+=("$cpu")
        clear_outputs
        kestrel_folder "$in/case_a2.txt"
        large_wall+=("$seconds") large_quiet+=("$quiet") large_cpu+=("$cpu")
        clear_outputs
        floor_folder "$in/case_a.txt"
        floor_small_quiet+=("$quiet")
        clear_outputs
        floor_folder "$in/case_a2.txt"
        floor_large_quiet+=("$quiet")
        clear_outputs
    done
    echo "  single wall ${small_wall[*]}; quiet ${small_quiet[*]}; cpu ${small_cpu[*]}" >&2
    echo "  double wall ${large_wall[*]}; quiet ${large_quiet[*]}; cpu ${large_cpu[*]}" >&2
    echo "  floor quiet, single ${floor_small_quiet[*]}; double ${floor_large_quiet[*]}" >&2
fi

timed -- /bin/true
true_rss=$rss_kib

echo
echo "KESTREL against the floor and cp: median of $runs alternating runs each; $(nproc) cores"
echo "(case m: kestrel-mbx's mbox export of case a's mailbox against dd bs=256k of it, as floor and cp)"
echo "work dir $work ($(df --output=fstype "$work" | tail -1))"
echo "wall: elapsed seconds; quiet: elapsed less the time spent waiting for a processor"
echo "(ratios to the floor and to cp, their targets and the verdict use the quiet figures);"
echo "MB/s = input bytes / kestrel quiet"
echo
echo "          ---------- wall -------- -------------------- quiet ---------------------"
echo "case   MiB  kestrel      cp  ratio  kestrel   floor      cp /floor  max    /cp  max    MB/s  cpu_s  RSS_MiB"
printf '%s\n' "${rows[@]}"
if [[ $scaling == 1 ]]; then
    awk -v sw="$(median "${small_wall[@]}")" -v lw="$(median "${large_wall[@]}")" \
        -v sq="$(median "${small_quiet[@]}")" -v lq="$(median "${large_quiet[@]}")" \
        -v sc="$(median "${small_cpu[@]}")" -v lc="$(median "${large_cpu[@]}")" \
        -v fs="$(median "${floor_small_quiet[@]}")" -v fl="$(median "${floor_large_quiet[@]}")" \
        -v sb="$(bytes_of "$in/case_a.txt")" -v lb="$(bytes_of "$in/case_a2.txt")" 'BEGIN {
        printf "\nscaling, case a at %.0f and %.0f MiB: wall x%.2f (%.3f, %.3f s), quiet x%.2f (%.3f, %.3f s), cpu x%.2f; target x2.10  %s\n",
            sb / 1048576, lb / 1048576, lw / sw, sw, lw, lq / sq, sq, lq, lc / sc, (lq / sq <= 2.1) ? "ok" : "OVER"
        printf "the floor at the same sizes: quiet x%.2f (%.3f, %.3f s)\n", fl / fs, fs, fl
    }'
fi
if ((${#check_quiet[@]} > 0)); then
    awk -v cw="$(median "${check_wall[@]}")" -v cq="$(median "${check_quiet[@]}")" \
        -v kq="$(median "${convert_quiet[@]}")" -v p="$check_peak" 'BEGIN {
        printf "\nkestrel-folder check, case a: wall %.3f s, quiet %.3f s, x%.2f of kestrel (%.3f s); target x1.50; RSS %.2f MiB  %s\n",
            cw, cq, cq / kq, kq, p / 1024, (cq / kq <= 1.5 && p <= 8192) ? "ok" : "OVER"
    }'
fi
echo "RSS includes the loader and C/C++ runtime: /bin/true alone shows" \
    "$(awk -v k="$true_rss" 'BEGIN { printf "%.2f", k / 1024 }') MiB"
echo "CPU pressure (share of time some task waited for a processor, last minute):" \
    "$pressure_before before, $(pressure) after"
clear_outputs
