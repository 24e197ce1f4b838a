#!/usr/bin/env bash
# Times wendrel against its baselines side by side and prints one table of
# ratios. Each time is the median of several runs (hyperfine); peak memory is
# the maximum resident size that /usr/bin/time reports.
#
#   bench/compare.sh            (from the project root; builds build-bench/ first)
#
# Needs: cmake, hyperfine, xxd, GNU time (/usr/bin/time), Google Benchmark.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cmake --preset bench -S "$root" >/dev/null
cmake --build --preset bench >/dev/null
wendrel="$root/build-bench/wendrel"
mime="$root/build-bench/wendrel-mime"
json="$root/build-bench/wendrel-json"
model="$root/build-bench/bench/decode_model"
corpus="${WENDREL_CORPUS:-$root/../shared/corpus}"
empty="$root/build-bench/bench/empty_program"

work=$(mktemp -d "${TMPDIR:-/tmp}/wendrel-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
"$root/build-bench/bench/make_inputs" "$work"
"$wendrel" -v records.tnef > records.out
"$wendrel" -v props-1m.tnef > props.out

# median TIME_IN_SECONDS of one command
median() {
  local runs=$1; shift
  hyperfine -N --style none --warmup 2 --runs "$runs" --export-json t.json "$@" >/dev/null 2>&1
  grep -o '"median": *[0-9.e+-]*' t.json | head -1 | sed 's/.*: *//'
}
# median with a preparation command run before each timing (untimed); with
# FIELD=user, the mean user CPU time instead
median_prepared() {
  local runs=$1 prepare=$2; shift 2
  hyperfine -N --style none --warmup 1 --runs "$runs" --prepare "$prepare" --export-json t.json "$@" >/dev/null 2>&1
  grep -o "\"${FIELD:-median}\": *[0-9.e+-]*" t.json | head -1 | sed 's/.*: *//'
}
# mean CPU time (user plus system) of one command
cpu() {
  local runs=$1; shift
  hyperfine -N --style none --warmup 2 --runs "$runs" --export-json t.json "$@" >/dev/null 2>&1
  awk -F': *' '/"user"/ { u = $2 + 0 } /"system"/ { s = $2 + 0 } END { printf "%.6f", u + s }' t.json
}
# the median of three runs of decode_model's streams a second
rate() {
  for _ in 1 2 3; do "$model" "$@" | cut -d' ' -f1; done | sort -n | sed -n 2p
}
ms() { awk -v t="$1" 'BEGIN { printf "%.1f ms", t * 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
row() { printf '| %-48s | %-24s | %-24s | %6s | %-8s |\n' "$@"; }
verdict() { awk -v r="$1" -v lim="$2" -v dir="$3" 'BEGIN { ok = dir == "max" ? r <= lim : r >= lim; print ok ? "met" : "missed" }'; }

dump=$(median 7 "$wendrel -d random.bin")
nodump=$(median 7 "$wendrel random.bin")
xxd_time=$(median 5 "xxd random.bin")
startup=$(median 500 "$wendrel small.tnef")
empty_time=$(median 500 "$empty")
save=$(median_prepared 7 "sh -c 'rm -f attachment.bin; sync'" "$wendrel -s attachment.tnef")
cp_time=$(median_prepared 7 "sh -c 'rm -f copy.tnef; sync'" "cp attachment.tnef copy.tnef")
ole_save=$(median_prepared 7 "sh -c 'rm -f \"Untitled Attachment.bmp\"; sync'" "$wendrel -s ole.tnef")
ole_cp=$(median_prepared 7 "sh -c 'rm -f copy.tnef; sync'" "cp ole.tnef copy.tnef")
walk=$(median 9 "$wendrel -v records.tnef")
cat_time=$(median 9 "cat records.out")
# Real mail's shapes at scale: one title for every attachment (each save
# finds the next free suffix) and long lists of named Unicode properties.
# Ten times the input should take about ten times as long. Creating 100,000
# files in one directory is the file system's work, which grows faster than
# that and varies from run to run, so the saves are timed in user CPU time.
mkdir -p saves
titles_10k=$(FIELD=user median_prepared 5 "sh -c 'rm -rf saves; mkdir saves'" "sh -c 'cd saves && exec $wendrel -s ../titles-10k.tnef >/dev/null'")
titles_100k=$(FIELD=user median_prepared 3 "sh -c 'rm -rf saves; mkdir saves'" "sh -c 'cd saves && exec $wendrel -s ../titles-100k.tnef >/dev/null'")
html_10k=$(FIELD=user median_prepared 5 "sh -c 'rm -rf saves; mkdir saves'" "sh -c 'cd saves && exec $wendrel -s ../html-10k.tnef >/dev/null'")
html_100k=$(FIELD=user median_prepared 3 "sh -c 'rm -rf saves; mkdir saves'" "sh -c 'cd saves && exec $wendrel -s ../html-100k.tnef >/dev/null'")
messages_1k=$(FIELD=user median_prepared 5 "sh -c 'rm -rf saves; mkdir saves'" "sh -c 'cd saves && exec $wendrel -s ../messages-1k.tnef >/dev/null'")
messages_10k=$(FIELD=user median_prepared 3 "sh -c 'rm -rf saves; mkdir saves'" "sh -c 'cd saves && exec $wendrel -s ../messages-10k.tnef >/dev/null'")
appointments_1k=$(FIELD=user median_prepared 5 "sh -c 'rm -rf saves; mkdir saves'" "sh -c 'cd saves && exec $wendrel -s ../appointments-1k.tnef >/dev/null'")
appointments_10k=$(FIELD=user median_prepared 3 "sh -c 'rm -rf saves; mkdir saves'" "sh -c 'cd saves && exec $wendrel -s ../appointments-10k.tnef >/dev/null'")
notes_10k=$(FIELD=user median_prepared 3 "sh -c 'rm -rf saves; mkdir saves'" "sh -c 'cd saves && exec $wendrel -s ../notes-10k.tnef >/dev/null'")
contacts_10k=$(FIELD=user median_prepared 3 "sh -c 'rm -rf saves; mkdir saves'" "sh -c 'cd saves && exec $wendrel -s ../contacts-10k.tnef >/dev/null'")
contact_notes_10k=$(FIELD=user median_prepared 3 "sh -c 'rm -rf saves; mkdir saves'" "sh -c 'cd saves && exec $wendrel -s ../contact-notes-10k.tnef >/dev/null'")
rm -rf saves
# Both write through a shell redirection (-o adds an fsync that base64 has not).
mime_bare=$(median 5 "sh -c '$mime mime-bare.tnef > out.eml'")
mime_wrapped=$(median 5 "sh -c '$mime mime-wrapped.eml > out.eml'")
base64_time=$(median 5 "sh -c 'base64 payload.bin > out.b64'")
rm -f out.eml out.b64
mime_peak() {  # input: peak resident size / input size
  /usr/bin/time -o peak.txt -f '%M' "$mime" -o out.eml "$1" 2>/dev/null || true
  awk -v kb="$(tail -n 1 peak.txt)" -v size="$(stat -c %s "$1")" 'BEGIN { printf "%.2f", kb * 1024 / size }'
}
# 10,000 small messages: one process for all of them against one for each.
# Both write each message as -o does (synced, then renamed into place).
many_one=$(median_prepared 3 "sh -c 'rm -rf many; mkdir many'" \
  "sh -c 'cd small-mail && exec $mime --output-dir ../many --files-from ../small-mail.list'")
many_each=$(median_prepared 3 "sh -c 'rm -rf many; mkdir many'" \
  "sh -c 'cd small-mail && exec xargs -a ../small-mail.list -I{} $mime -o ../many/{} {}'")
rm -rf many
mime_peak_bare=$(mime_peak mime-bare.tnef)
mime_peak_wrapped=$(mime_peak mime-wrapped.eml)
rm -f out.eml
# The library: the model of a stream against wendrel's own account of it,
# and two threads decoding against one (the real streams when they are
# there, else the generated small ones).
model_records=$(cpu 9 "$model records.tnef")
verbose_records=$(cpu 9 "sh -c '$wendrel -v records.tnef > /dev/null'")
model_props=$(cpu 9 "$model props-1m.tnef")
verbose_props=$(cpu 9 "sh -c '$wendrel -v props-1m.tnef > /dev/null'")
if ls "$corpus"/*.tnef >/dev/null 2>&1; then
  streams=("$corpus"/*.tnef)
else
  streams=(small.tnef messages-1k.tnef appointments-1k.tnef contacts-10k.tnef)
fi
one_thread=$(rate --threads 1 --rounds 2000 "${streams[@]}")
two_threads=$(rate --threads 2 --rounds 2000 "${streams[@]}")
if [ -x "$json" ]; then
  json_time=$(median 5 "sh -c '$json mime-bare.tnef > /dev/null'")
  sha_time=$(median 5 "sha256sum payload.bin")
fi
props_100k=$(median 9 "$wendrel -v props-100k.tnef")
props_1m=$(median 9 "$wendrel -v props-1m.tnef")
props_cat=$(median 9 "cat props.out")

peak_over_size() {  # file, then options: resident peak minus file size, in MiB
  local file=$1; shift
  /usr/bin/time -o peak.txt -f '%M' "$wendrel" "$@" "$file" >/dev/null 2>&1 || true
  awk -v kb="$(tail -n 1 peak.txt)" -v size="$(stat -c %s "$file")" \
    'BEGIN { printf "%.2f", (kb * 1024 - size) / 1048576 }'
}
worst=-1
worst_case=""
for options in "" "-d" "-v" "-s"; do
  for file in random.bin attachment.tnef records.tnef small.tnef; do
    # shellcheck disable=SC2086
    over=$(peak_over_size "$file" $options)
    if awk -v a="$over" -v b="$worst" 'BEGIN { exit !(a > b) }'; then
      worst=$over
      worst_case="wendrel${options:+ $options} $file"
    fi
    rm -f attachment.bin figures.csv
  done
done

echo
echo "wendrel $("$wendrel" -h 2>&1 | sed -n 2p | cut -d' ' -f1) on $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(uname -sr)"
echo
row "Comparison" "wendrel" "baseline" "ratio" "target"
row "------------------------------------------------" "------------------------" "------------------------" "------" "--------"
r=$(ratio "$xxd_time" "$dump");  row "-d, 256 MiB random: xxd / wendrel (>= 10)" "$(ms "$dump")" "xxd $(ms "$xxd_time")" "$r" "$(verdict "$r" 10 min)"
r=$(ratio "$dump" "$nodump");    row "-d / no -d, 256 MiB random (<= 2)" "$(ms "$dump")" "no -d $(ms "$nodump")" "$r" "$(verdict "$r" 2 max)"
r=$(ratio "$startup" "$empty_time"); row "start-up, 2 KB stream / empty program (<= 1.3)" "$(ms "$startup")" "empty $(ms "$empty_time")" "$r" "$(verdict "$r" 1.3 max)"
row "peak resident - file size, worst (<= 4 MiB)" "$worst MiB" "$worst_case" "" "$(verdict "$worst" 4 max)"
r=$(ratio "$save" "$cp_time");   row "-s, one 512 MiB attachment / cp (<= 1.5)" "$(ms "$save")" "cp $(ms "$cp_time")" "$r" "$(verdict "$r" 1.5 max)"
r=$(ratio "$ole_save" "$ole_cp"); row "-s, OLE object with a 100 MiB CONTENTS / cp (<= 2)" "$(ms "$ole_save")" "cp $(ms "$ole_cp")" "$r" "$(verdict "$r" 2 max)"
r=$(ratio "$walk" "$cat_time");  row "-v, 1,000,000 records, cp1252 / cat of output (<= 4)" "$(ms "$walk")" "cat $(ms "$cat_time")" "$r" "$(verdict "$r" 4 max)"
r=$(ratio "$props_1m" "$props_cat"); row "-v, 1M named Unicode properties / cat of output (<= 4)" "$(ms "$props_1m")" "cat $(ms "$props_cat")" "$r" "$(verdict "$r" 4 max)"
r=$(ratio "$titles_100k" "$titles_10k"); row "-s, 100k / 10k attachments of one title, user CPU (~10)" "$(ms "$titles_100k")" "10k $(ms "$titles_10k")" "$r" "$(verdict "$r" 15 max)"
r=$(ratio "$props_1m" "$props_100k"); row "-v, 1M / 100k named Unicode properties (~10)" "$(ms "$props_1m")" "100k $(ms "$props_100k")" "$r" "$(verdict "$r" 15 max)"
r=$(ratio "$html_100k" "$html_10k"); row "-s, 100k / 10k HTML bodies, user CPU (~10)" "$(ms "$html_100k")" "10k $(ms "$html_10k")" "$r" "$(verdict "$r" 15 max)"
r=$(ratio "$messages_10k" "$messages_1k"); row "-s, 10k / 1k attached messages, user CPU (~10)" "$(ms "$messages_10k")" "1k $(ms "$messages_1k")" "$r" "$(verdict "$r" 15 max)"
r=$(ratio "$appointments_10k" "$appointments_1k"); row "-s, 10k / 1k attached meetings, user CPU (~10)" "$(ms "$appointments_10k")" "1k $(ms "$appointments_1k")" "$r" "$(verdict "$r" 15 max)"
per_item=$(awk -v a="$appointments_10k" -v b="$notes_10k" 'BEGIN { printf "%.1f", (a - b) / 10000 * 1e6 }')
row "-s, a calendar item beyond its message, user CPU (<= 50 us)" "$per_item us" "notes $(ms "$notes_10k")" "" "$(verdict "$per_item" 50 max)"
per_contact=$(awk -v a="$contacts_10k" -v b="$contact_notes_10k" 'BEGIN { printf "%.1f", (a - b) / 10000 * 1e6 }')
row "-s, a contact with a 6 KB photo beyond its message, user CPU (<= 20 us)" "$per_contact us" "notes $(ms "$contact_notes_10k")" "" "$(verdict "$per_contact" 20 max)"
r=$(ratio "$mime_bare" "$base64_time"); row "wendrel-mime, 64 MiB attachment, bare / base64 (<= 2)" "$(ms "$mime_bare")" "base64 $(ms "$base64_time")" "$r" "$(verdict "$r" 2 max)"
r=$(ratio "$mime_wrapped" "$base64_time"); row "wendrel-mime, the same in a message / base64 (<= 2)" "$(ms "$mime_wrapped")" "base64 $(ms "$base64_time")" "$r" "$(verdict "$r" 2 max)"
r=$(ratio "$many_one" "$many_each"); row "wendrel-mime, 10,000 small messages, one process / one each (<= 0.2)" "$(ms "$many_one")" "each $(ms "$many_each")" "$r" "$(verdict "$r" 0.2 max)"
row "wendrel-mime peak memory / input, bare (<= 3)" "$mime_peak_bare" "" "" "$(verdict "$mime_peak_bare" 3 max)"
row "wendrel-mime peak memory / input, in a message (<= 3)" "$mime_peak_wrapped" "" "" "$(verdict "$mime_peak_wrapped" 3 max)"
r=$(ratio "$model_records" "$verbose_records"); row "model of 1,000,000 records / wendrel -v, CPU (<= 1.5)" "$(ms "$model_records")" "-v $(ms "$verbose_records")" "$r" "$(verdict "$r" 1.5 max)"
r=$(ratio "$model_props" "$verbose_props"); row "model of 1M named Unicode properties / wendrel -v, CPU (<= 1.5)" "$(ms "$model_props")" "-v $(ms "$verbose_props")" "$r" "$(verdict "$r" 1.5 max)"
r=$(ratio "$two_threads" "$one_thread"); row "library, streams a second, two threads / one (>= 1.8)" "$two_threads/s" "one $one_thread/s" "$r" "$(verdict "$r" 1.8 min)"
if [ -x "$json" ]; then
  r=$(ratio "$json_time" "$sha_time"); row "wendrel-json, 64 MiB attachment / sha256sum (<= 1.5)" "$(ms "$json_time")" "sha256sum $(ms "$sha_time")" "$r" "$(verdict "$r" 1.5 max)"
fi
echo
echo "Micro-benchmarks:"
"$root/build-bench/bench/micro_bench" --benchmark_min_time=0.2 2>/dev/null | sed -n '/^Benchmark/,$p'
