#!/usr/bin/env bash
# Measures transcription on the LibriVox recordings of pocketsphinx-testdata:
# real-time factor of one and of two transcribers fed as fast as possible,
# peak resident memory of each, the start time of a transcriber once the model
# is loaded, and the delay from the audio that completes a word to the first
# partial that shows it (fed at live pace). Run after scripts/setup --with-test-servers.
set -euo pipefail
cd "$(dirname "$0")/.."
bench=build/bench/transcription_bench
librivox=/usr/share/pocketsphinx/test/data/librivox
files=("$librivox"/*.wav)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== one transcriber, fed as fast as possible"
$bench rtf 1 "${files[@]}"
echo "== two transcribers at once, each fed every file"
$bench rtf 2 "${files[@]}"
echo "== start of a transcriber: cold, then with the model already loaded"
$bench warmstart
echo "== partial delay at live pace"
$bench live "${files[@]}" >"$work/live.jsonl"
for f in "${files[@]}"; do
  echo "# $f"
  pocketsphinx_continuous -infile "$f" -time yes 2>/dev/null
done >"$work/words.txt"
python3 - "$work/live.jsonl" "$work/words.txt" <<'PY'
import json, re, statistics, sys

def clean(w):
    if not w or w[0] in "<[":
        return None
    return re.sub(r"\(\d+\)$", "", w).lower()

# Word end times per file and utterance, from PocketSphinx's own decoder.
utterances = {}
current = None
for line in open(sys.argv[2]):
    parts = line.split()
    if line.startswith("# "):
        current = line[2:].strip()
        utterances[current] = []
    elif len(parts) == 4 and re.match(r"^-?\d+\.\d+$", parts[1]):
        if parts[0] == "<s>":
            utterances[current].append([])
        w = clean(parts[0])
        if w and utterances[current]:
            utterances[current][-1].append((w, float(parts[1]) * 1000, float(parts[2]) * 1000))

partials = {}
for line in open(sys.argv[1]):
    j = json.loads(line)
    if j["type"] == "partial":
        partials.setdefault(j["file"], []).append(j)

delays, missed = [], 0
for f, utts in utterances.items():
    ps = sorted(partials.get(f, []), key=lambda p: p["wallMs"])
    for words in utts:
        if not words:
            continue
        lo, hi = words[0][1] - 1000, words[-1][2] + 1000
        mine = [p for p in ps if lo <= p["startMs"] <= hi]
        for k, (w, start, end) in enumerate(words):
            hit = next((p for p in mine if len(p["text"].split()) > k and p["text"].split()[k] == w), None)
            if hit is None:
                missed += 1
            else:
                delays.append(hit["wallMs"] - end)
delays.sort()
p95 = delays[min(len(delays) - 1, int(round(0.95 * (len(delays) - 1))))]
print(json.dumps({"words_timed": len(delays), "words_never_shown_in_a_partial": missed,
                  "median_partial_delay_ms": round(statistics.median(delays)),
                  "p95_partial_delay_ms": round(p95)}))
PY
