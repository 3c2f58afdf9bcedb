#!/bin/sh
# Copies the real recordings that Debian's pocketsphinx-testdata ships (BSD
# licence, see /usr/share/doc/pocketsphinx-testdata/copyright) into OUT as
# real-NN.wav (16 kHz mono 16-bit) with the reference text real-NN.txt: five
# clips of read speech by one speaker, and six short spoken commands.
set -eu
data=${OMBRU_STT_TESTDATA:-/usr/share/pocketsphinx/test/data}
out=$1
[ -d "$data/librivox" ] || { echo "no recordings in $data (pocketsphinx-testdata)" >&2; exit 1; }
mkdir -p "$out"
rm -f "$out"/real-*
n=0
# One transcription line: "<s> words </s> (id)".
add() {  # wav reference
  n=$((n + 1))
  name=$(printf 'real-%02d' "$n")
  cp "$1" "$out/$name.wav"
  printf '%s' "$2" > "$out/$name.txt"
}
words() {  # transcription-file id
  sed -n "s/^<s> *\(.*\) *<\/s> *($2)\$/\1/p" "$1" | sed 's/ *$//'
}
for id in $(cat "$data/librivox/fileids"); do
  add "$data/librivox/$id.wav" "$(words "$data/librivox/transcription" "$id")"
done
sox -D -t raw -r 16000 -e signed-integer -b 16 -c 1 "$data/goforward.raw" "$out/goforward.wav"
add "$out/goforward.wav" "go forward ten meters"
rm -f "$out/goforward.wav"
for id in 001 002 003 004 005; do
  add "$data/cards/$id.wav" "$(words "$data/cards/cards.transcription" "$id")"
done
