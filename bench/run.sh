#!/usr/bin/env bash
# Measures cfgline's text-file command on a large file against the usual
# shell tools. Not a test: run it by hand on an idle machine.
#
#   bench/run.sh            builds the linux preset and prints, for a 160 MB
#                           file of 2 million lines, the best of 3 runs of
#                           cfgline and its peers, with the targets met or not
#   bench/run.sh --wine-1g  removes a line from a 1 GB file with the Windows
#                           builds under Wine: the 64-bit one for the time,
#                           then the shipped 32-bit one, which must not run
#                           out of address space; where the kernel refuses
#                           32-bit code, that one runs under an emulator and
#                           its time says so
#
# CFGLINE=/path/to/program measures that program instead of the linux
# preset's (which is then not built) or the Windows builds, e.g. to compare
# a change with the current code.
#
# Generated inputs live in bench/data/ and are reused when present. The exit
# status is 1 when a result is wrong or a target is missed.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
data=$root/bench/data
work=$data/work
runs=3

# Marker words the generator puts on exactly one line each; ADD_TEXT is on none.
REMOVE_TEXT=CfgLineBenchRemoveMe   # a word sed reads as a plain string
TAIL_TEXT=CfgLineBenchPresentTail  # on the last line, so a search reads it all
ADD_TEXT='C:\CfgLineBench\Added\bin'

# Targets: cfgline's time over the peer's, and peak memory over the file size.
MAX_VS_GREP=1.00
# "Well under" sed -i: at most two thirds of its time. Appending, sed only
# copies the file; cfgline also searches it.
MAX_VS_SED=0.67
MAX_VS_CAT=2.00  # "close to" cat: the search over the file costs no more than reading it
MAX_UTF16=2.00   # the same lines in UTF-16 LE, twice the bytes: at most twice the time
MAX_RSS=1.25

die() {
  echo "bench/run.sh: $*" >&2
  exit 1
}

# Writes the input file $1 of $2 lines, each ended by $eol, unless it is
# already there.
generate() {
  local file=$1 lines=$2
  [ -s "$file" ] && return
  echo "generating $file ($lines lines)..." >&2
  awk -v LINES="$lines" -v EOL="$eol" -v REMOVE="$REMOVE_TEXT" -v TAIL="$TAIL_TEXT" \
    -f "$root/bench/gen_paths.awk" >"$file.part"
  mv "$file.part" "$file"
}

# Copies $1 to $2 as a new file and flushes it, so that no write-back of the
# copy runs during the timed command.
fresh_copy() {
  rm -f "$2"
  cat "$1" >"$2"
  sync
}

# Runs a command under /usr/bin/time; sets secs (wall clock, in seconds) and
# rss_kb (peak resident memory in KiB). Redirections of the call apply to it.
timed() {
  local start=$EPOCHREALTIME
  /usr/bin/time -f %M -o "$work/rss" "$@" || die "failed: $*"
  secs=$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }')
  rss_kb=$(tail -n 1 "$work/rss")
}

# Keeps the best time and the highest peak memory of tool $1 in case $2.
declare -A best_secs peak_kb
record() {
  local key="$1/$2"
  if [ -z "${best_secs[$key]:-}" ] || awk -v a="$secs" -v b="${best_secs[$key]}" 'BEGIN { exit !(a < b) }'; then
    best_secs[$key]=$secs
  fi
  [ "${peak_kb[$key]:-0}" -ge "$rss_kb" ] || peak_kb[$key]=$rss_kb
}

# Runs cfgline ($1 = i or u, $2 = text) on a fresh copy of $3 (default
# $input), alone in its folder, and checks that it printed nothing and left
# no file behind.
run_cfgline() {
  local folder=$work/cfgline
  rm -rf "$folder" && mkdir -p "$folder"
  fresh_copy "${3:-$input}" "$folder/paths.txt"
  timed "$cfgline" "$1" textline "$folder/paths.txt" "$2" >"$work/message"
  [ ! -s "$work/message" ] || die "cfgline $1 printed: $(cat "$work/message")"
  [ "$(ls -A "$folder")" = paths.txt ] || die "cfgline $1 left files behind: $(ls -A "$folder")"
  result=$folder/paths.txt
}

# Checks the result of one cfgline run against what the case asks for.
verify() {
  local case=$1
  case $case in
    remove)
      # The input has the program's line end ($eol) everywhere and no empty
      # line, so the result is exactly the other lines as they were.
      grep -vF "$REMOVE_TEXT" "$input" | cmp -s - "$result" ||
        die "remove: result differs from the input less the marked line"
      [ "$(wc -l <"$result")" -eq $((input_lines - 1)) ] || die "remove: wrong line count"
      ;;
    remove16)
      { printf '\xFF\xFE'; grep -vF "$REMOVE_TEXT" "$input" | iconv -f UTF-8 -t UTF-16LE; } |
        cmp -s - "$result" || die "remove16: result differs from the input less the marked line"
      ;;
    add)
      local size
      size=$(stat -c %s "$input")
      [ "$(stat -c %s "$result")" -eq $((size + ${#ADD_TEXT} + ${#eol})) ] || die "add: wrong size"
      cmp -s -n "$size" "$input" "$result" || die "add: existing lines changed"
      # $(...) drops the LF at the end, and only that.
      [ "$(tail -c $((${#ADD_TEXT} + ${#eol})) "$result")" = "$ADD_TEXT${eol%$'\n'}" ] ||
        die "add: last line is not the text with the line end"
      ;;
    present)
      [ "$(stat -c '%i %s %y' "$result")" = "$before" ] || {
        rm -f "$input"  # so that the next run generates it anew
        die "present: the file was rewritten"
      }
      ;;
  esac
}

# One round of a case: cfgline, then each peer, each on its own fresh copy.
# cfgline flushes its new file (and its folder) to the disk before it
# replaces the old one; so the time of a peer that writes a file stops only
# once that file is flushed too (sync FILE).
bench_round() {
  local case=$1
  rm -f "$work/grep.out" "$work/sed.txt"
  case $case in
    remove)
      run_cfgline u "$REMOVE_TEXT"
      verify remove
      record remove cfgline
      sync
      timed sh -c 'grep -vF "$1" "$2" >"$3" && sync "$3"' sh "$REMOVE_TEXT" "$input" "$work/grep.out"
      record remove grep
      fresh_copy "$input" "$work/sed.txt"
      timed sh -c 'sed -i "$1" "$2" && sync "$2"' sh "/$REMOVE_TEXT/d" "$work/sed.txt"
      record remove sed
      ;;
    add)
      run_cfgline i "$ADD_TEXT"
      verify add
      record add cfgline
      sync
      timed sh -c 'grep -vF "$1" "$2" >"$3" && sync "$3"' sh "$ADD_TEXT" "$input" "$work/grep.out"
      record add grep
      fresh_copy "$input" "$work/sed.txt"
      timed sh -c 'sed -i "$1" "$2" && sync "$2"' sh "\$a ${ADD_TEXT//\\/\\\\}" "$work/sed.txt"
      record add sed
      ;;
    remove16)
      run_cfgline u "$REMOVE_TEXT" "$input16"
      verify remove16
      record remove16 cfgline
      ;;
    present)
      # Timed on the input itself, which neither tool may change.
      before=$(stat -c '%i %s %y' "$input")
      result=$input
      timed "$cfgline" i textline "$input" "$TAIL_TEXT" >"$work/message"
      [ ! -s "$work/message" ] || die "cfgline i printed: $(cat "$work/message")"
      verify present
      record present cfgline
      timed cat "$input" >/dev/null
      record present cat
      ;;
  esac
}

# Prints one row; a peer row carries the time target, cfgline's the memory one.
row() {
  local case=$1 tool=$2 label=$3 limit=${4:-}
  local key="$case/$tool" mine="${best_secs[$case/cfgline]}" size=$input_bytes
  [ "$case" != remove16 ] || size=$input16_bytes
  awk -v name="$case" -v tool="$label" -v s="${best_secs[$key]}" -v mine="$mine" \
    -v kb="${peak_kb[$key]}" -v size="$size" -v limit="$limit" \
    -v max_rss="$MAX_RSS" -v is_self="$([ "$tool" = cfgline ] && echo 1 || echo 0)" '
    BEGIN {
      mult = kb * 1024 / size
      if (is_self) {
        ratio = "-"
        target = sprintf("RSS <= %.2fx file", max_rss)
        ok = mult <= max_rss
      } else {
        ratio = sprintf("%.2f", mine / s)
        target = sprintf("cfgline <= %.2fx", limit)
        ok = mine / s <= limit
      }
      printf "%-8s %-24s %8.3f %9s %8.1f %7.2fx  %-18s %s\n", name, tool, s, ratio,
             kb / 1024, mult, target, ok ? "PASS" : "FAIL"
    }'
}

print_table() {
  printf '\n%s\nFile: %s, %d lines, %.1f MiB; best of %d runs; load average %s at the start\n\n' \
    "$cfgline" "$input" "$input_lines" "$(awk -v b="$input_bytes" 'BEGIN { print b / 1048576 }')" \
    "$runs" "$load"
  printf 'ratio: best time of cfgline over that of the tool on the row\n\n'
  printf '%-8s %-24s %8s %9s %8s %8s  %-18s %s\n' case tool 'best s' ratio 'RSS MiB' 'x file' target result
  {
    row remove cfgline "cfgline u"
    row remove grep "grep -vF TEXT > out" "$MAX_VS_GREP"
    row remove sed "sed -i /TEXT/d" "$MAX_VS_SED"
    row add cfgline "cfgline i (absent)"
    row add grep "grep -vF TEXT > out" "$MAX_VS_GREP"
    row add sed "sed -i '\$a TEXT'" "$MAX_VS_SED"
    row present cfgline "cfgline i (present)"
    row present cat "cat > /dev/null" "$MAX_VS_CAT"
    row remove16 cfgline "cfgline u (UTF-16 LE)"
    row remove16 bytes "cfgline u (bytes)" "$MAX_UTF16"
  } | tee "$work/table"
  ! grep -q FAIL "$work/table"
}

bench_linux() {
  cfgline=${CFGLINE:-}
  if [ -z "$cfgline" ]; then
    (cd "$root" && cmake --preset linux >/dev/null && cmake --build --preset linux >/dev/null) ||
      die "building the linux preset failed"
    cfgline=$root/build/linux/cfgline
  fi
  input=$data/paths-2m-lf.txt  # the Linux program's line ends, which it keeps
  input_lines=2000000
  eol=$'\n'
  generate "$input" "$input_lines"
  input_bytes=$(stat -c %s "$input")
  input16=$data/paths-2m-lf-utf16le.txt
  [ -s "$input16" ] || { printf '\xFF\xFE'; iconv -f UTF-8 -t UTF-16LE "$input"; } >"$input16"
  input16_bytes=$(stat -c %s "$input16")
  cat "$input" "$input16" >/dev/null  # into the page cache, like every copy
  load=$(cut -d ' ' -f 1 /proc/loadavg)  # other work on the machine skews the times
  local round case
  for round in $(seq "$runs"); do
    for case in remove add present remove16; do
      echo "round $round: $case" >&2
      bench_round "$case"
    done
  done
  rm -rf "$work/cfgline" "$work/grep.out" "$work/sed.txt"
  best_secs[remove16/bytes]=${best_secs[remove/cfgline]}
  peak_kb[remove16/bytes]=${peak_kb[remove/cfgline]}
  print_table
}

# Removes a line from a 1 GB file with the Windows program $1 under Wine.
wine_1g() {
  local exe=$1 bits=64 note=""
  [ -f "$exe" ] || die "$exe not found; build the presets win64 and win32 (cmake --build --preset ...)"
  if file -b -L "$exe" | grep -q '^PE32 executable'; then
    bits=32
    # A kernel that refuses 32-bit code runs them through binfmt_misc.
    ! grep -qsx enabled /proc/sys/fs/binfmt_misc/qemu-i386 ||
      note=" (emulated: the kernel runs 32-bit code under QEMU here, so this is no figure of the program's speed)"
  fi
  input=$data/paths-1g.txt
  input_lines=13000000
  eol=$'\r\n'
  generate "$input" "$input_lines"
  local folder=$work/wine
  rm -rf "$folder" && mkdir -p "$folder"
  fresh_copy "$input" "$folder/paths.txt"
  local target="Z:${folder//\//\\}\\paths.txt"

  # Wine's own start-up, to tell apart from the work; the first run may
  # also wait for the prefix to be set up.
  "$root/scripts/wine" "$exe" >/dev/null
  timed "$root/scripts/wine" "$exe" >/dev/null
  local startup=$secs
  export CFGLINE_WINE_TIMEOUT=900
  timed "$root/scripts/wine" "$exe" u textline "$target" "$REMOVE_TEXT" >"$work/message"
  printf '\nwine, %d-bit: cfgline u textline %s (%.2f GB, %d lines)\n' "$bits" "$target" \
    "$(awk -v b="$(stat -c %s "$input")" 'BEGIN { print b / 1e9 }')" "$input_lines"
  printf '  time %.2f s (Wine start-up alone %.2f s), peak RSS %d MiB%s\n' "$secs" "$startup" \
    $((rss_kb / 1024)) "$note"
  local message
  message=$(tr -d '\r' <"$work/message")
  [ -z "$message" ] || die "FAIL: cfgline.exe printed: $message"
  [ "$(ls -A "$folder")" = paths.txt ] || die "FAIL: files left behind: $(ls -A "$folder")"
  result=$folder/paths.txt
  verify remove
  echo "  result: PASS (marked line gone, all other lines byte for byte, no temporary file)"
  rm -rf "$folder"
}

[ -x /usr/bin/time ] || die "/usr/bin/time not found: install Debian's 'time' package"
mkdir -p "$work"
case ${1:-} in
  "") bench_linux ;;
  --wine-1g)
    if [ -n "${CFGLINE:-}" ]; then
      wine_1g "$CFGLINE"
    else
      wine_1g "$root/build/win64/cfgline.exe"
      wine_1g "$root/build/win32/cfgline.exe"
    fi
    ;;
  *) die "usage: bench/run.sh [--wine-1g]" ;;
esac
