#!/bin/sh
# Speaks every line of SENTENCES in turn with one of several synthetic voices
# and writes, into OUT: clip-NN.wav (16 kHz mono 16-bit) with its reference
# text clip-NN.txt, and long.wav, every clip joined with pauses between, with
# long.txt. flite's voices join espeak-ng's when flite is installed.
set -eu
sentences=$1
out=$2
mkdir -p "$out"
rm -f "$out"/clip-* "$out"/long.*
voices="espeak:en-us+f2 espeak:en-us+f3 espeak:en-us+m1"
if command -v flite >/dev/null 2>&1; then
  voices="$voices flite:slt flite:rms flite:kal16"
fi
set -- $voices
count=$#
n=0
clips=""
while IFS= read -r line; do
  [ -n "$line" ] || continue
  n=$((n + 1))
  name=$(printf 'clip-%02d' "$n")
  i=$(( (n - 1) % count + 1 ))
  eval voice=\${$i}
  raw="$out/$name.raw.wav"
  case $voice in
    espeak:*) espeak-ng -v "${voice#espeak:}" -w "$raw" "$line" ;;
    flite:*) flite -voice "${voice#flite:}" -t "$line" -o "$raw" ;;
  esac
  sox -D "$raw" -r 16000 -c 1 -b 16 "$out/$name.wav"
  rm -f "$raw"
  printf '%s' "$line" > "$out/$name.txt"
  printf '%s\n' "$voice" > "$out/$name.voice"
  clips="$clips $out/$name.wav"
done < "$sentences"
# Each clip already starts and ends with a little silence of its own; the
# pause between two clips is what a speaker leaves between sentences.
sox -D -n -r 16000 -c 1 -b 16 "$out/pause.wav" trim 0 0.6
joined=""
for c in $clips; do joined="$joined $c $out/pause.wav"; done
sox -D $joined "$out/long.wav"
rm -f "$out/pause.wav"
for c in "$out"/clip-*.txt; do printf '%s ' "$(cat "$c")"; done | sed 's/ $//' > "$out/long.txt"
