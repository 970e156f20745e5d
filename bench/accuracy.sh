#!/usr/bin/env bash
# Word error rate on recorded human speech: the evaluation sets in
# ../shared/eval (read there, never copied), for both presets and for
# pocketsphinx_continuous (the anchor), with a 95% bootstrap interval over
# utterances. Three conditions: each utterance as recorded; after 2.5 s of
# exact zeros (an app tap while nothing plays); after 2.5 s of a quiet
# microphone's noise floor (white noise at -60 dBFS). Every engine reads the
# same 16 kHz files, made with sox without dither.
#
#   EVAL_DIR=...            the sets' folder (default ../shared/eval)
#   SETS="ljspeech ..."     which sets (default: every set with a refs.tsv)
#   CONDITIONS="plain ..."  plain zeros noise (default: all three)
#   PRESETS="fast ..."      accurate fast anchor (default: all three)
#   LIMIT=N                 the first N utterances of each set
#   KEEP=dir                keep each engine's output there (JSON lines)
# Run after scripts/setup --with-test-servers.
set -euo pipefail
cd "$(dirname "$0")/.."
eval_dir=${EVAL_DIR:-../shared/eval}
if [ ! -d "$eval_dir" ]; then
  echo "accuracy: no evaluation sets at $eval_dir (set EVAL_DIR); skipped"
  exit 0
fi
bench=build/bench/transcription_bench
cmake --build build --target transcription_bench -j"$(nproc)" >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
jobs=$(nproc)

sets=${SETS:-$(for d in "$eval_dir"/*/; do [ -f "$d/refs.tsv" ] && basename "$d"; done)}
for set in $sets; do
  n=0
  while IFS=$'\t' read -r path text; do
    n=$((n + 1))
    [ -n "${LIMIT:-}" ] && [ "$n" -gt "$LIMIT" ] && break
    key=$(echo "${path%.*}" | tr '/' '_').wav
    printf '%s\t%s\n' "$key" "$text" >>"$work/$set.refs"
    for c in ${CONDITIONS:-plain zeros noise}; do
      mkdir -p "$work/$set/$c"
      out="$work/$set/$c/$key"
      case $c in
        plain) sox -D "$eval_dir/$set/$path" -r 16000 -c 1 -b 16 "$out" ;;
        zeros) sox -D "$eval_dir/$set/$path" -r 16000 -c 1 -b 16 "$out" pad 2.5 0 ;;
        noise) # 2.5 s of white noise whose RMS is -60 dBFS, then the utterance
          sox -D "$eval_dir/$set/$path" -r 16000 -c 1 -b 16 "$work/speech.wav"
          sox -R -D -n -r 16000 -c 1 -b 16 "$work/floor.wav" synth 2.5 whitenoise gain -55.2
          sox -D "$work/floor.wav" "$work/speech.wav" "$out" ;;
      esac
    done
  done <"$eval_dir/$set/refs.tsv"
done

# Ours in $jobs processes over interleaved shares of the files; the anchor
# one process per file, as it is used.
run() { # preset dir out
  local files=("$2"/*.wav) pids=() i
  for ((i = 0; i < jobs; i++)); do
    local share=()
    for ((k = i; k < ${#files[@]}; k += jobs)); do share+=("${files[k]}"); done
    if [ "$1" = anchor ]; then
      for f in "${share[@]}"; do
        printf '%s\n' "$(pocketsphinx_continuous -infile "$f" 2>/dev/null | tr '\n' ' ')" |
          python3 -c 'import json,sys; print(json.dumps({"file": sys.argv[1], "text": sys.stdin.read()}))' "$f"
      done >"$3.$i" &
    else
      $bench finals "$1" "${share[@]}" >"$3.$i" 2>/dev/null &
    fi
    pids+=($!)
  done
  wait "${pids[@]}"
  cat "$3".* >"$3"
  if [ -n "${KEEP:-}" ]; then mkdir -p "$KEEP" && cp "$3" "$KEEP/"; fi
}

printf '%-22s %-8s %-10s %s\n' set condition engine "WER [95% interval]"
for set in $sets; do
  for c in ${CONDITIONS:-plain zeros noise}; do
    for p in ${PRESETS:-accurate fast anchor}; do
      run "$p" "$work/$set/$c" "$work/$set-$c-$p.jsonl"
      printf '%-22s %-8s %-10s %s\n' "$set" "$c" "$p" \
        "$(python3 bench/score.py "$work/$set.refs" "$work/$set-$c-$p.jsonl")"
    done
  done
done
