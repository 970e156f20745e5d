#!/usr/bin/env bash
# Measures transcription on PocketSphinx, both presets side by side ("accurate",
# the default of sessions, and "fast", for fastResults and the file mode), on
# the LibriVox recordings of pocketsphinx-testdata and on held-out synthetic
# speech (flite), each followed by 1.5 s of silence as a live call would be.
# Per preset: word error rate of the finals (and of pocketsphinx_continuous,
# the anchor), the share of final words first shown in a partial (same word,
# same place), the end of each sentence (its last loud 10 ms of audio) to the
# arrival of its final at live pace, the partial delay (a word's end in
# pocketsphinx_continuous's alignment to the partial that first shows it), and
# CPU per audio second of one stream while two run at once. Also start times,
# and the same sentence-end delay as a host sees it from the helper's own file
# mode (the fast preset; all sentences in one file).
# PRESETS="fast" measures one.
# Run after scripts/setup --with-test-servers.
set -euo pipefail
cd "$(dirname "$0")/.."
bench=build/bench/transcription_bench
librivox=/usr/share/pocketsphinx/test/data/librivox
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --build build --target transcription_bench -j"$(nproc)" >/dev/null

# References: file -> words.
: >"$work/refs.txt"
for f in "$librivox"/*.wav; do
  name=$(basename "$f" .wav)
  sox "$f" "$work/$name.wav" pad 0 1.5
  echo "$name $(grep "($name)" "$librivox/transcription" | sed 's/<s> //; s| </s>.*||')" >>"$work/refs.txt"
done
held_out=(
  "the train to the coast leaves every hour from the north platform"
  "she wrote a short letter to her brother about the new house"
  "we will need more chairs for the meeting in the large room"
  "the doctor said that he should rest for a few more days"
  "please turn off the lights when you leave the office tonight"
  "my neighbour plants tomatoes and beans in his garden each spring"
)
i=0
for text in "${held_out[@]}"; do
  i=$((i + 1))
  flite -voice slt -t "$text" -o "$work/raw$i.wav"
  sox "$work/raw$i.wav" -r 16000 -c 1 "$work/synthetic$i.wav" pad 0.5 1.5
  echo "synthetic$i $text" >>"$work/refs.txt"
done
files=()
while read -r name _; do files+=("$work/$name.wav"); done <"$work/refs.txt"

# The anchor and the reference alignment: PocketSphinx's own decoder.
for f in "${files[@]}"; do
  echo "# $(basename "$f" .wav)"
  pocketsphinx_continuous -infile "$f" -time yes 2>/dev/null
done >"$work/words.txt"

for preset in ${PRESETS:-accurate fast}; do
  $bench rtf 2 "$preset" "${files[@]}" >"$work/rtf-$preset.json"
  $bench live "$preset" "${files[@]}" >"$work/live-$preset.jsonl"
done
# The helper's file mode, read as a host reads it: each line stamped when it
# arrives. Its feed loop sleeps 100 ms after each buffer, so buffer k goes in
# at start + k * (100 ms + d): d comes from two runs on silence of different
# lengths, the start from the "fed N buffers" note.
sox -n -r 16000 -c 1 -b 16 "$work/quiet10.wav" trim 0 10
sox -n -r 16000 -c 1 -b 16 "$work/quiet40.wav" trim 0 40
sox "${files[@]}" "$work/all.wav"
python3 - build/zorva-helper "$work" >"$work/filemode.jsonl" <<'PY'
import json, selectors, subprocess, sys, time
helper, work = sys.argv[1:]

def run(path):
    p = subprocess.Popen([helper, "--transcribe-file", path],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    sel = selectors.DefaultSelector()
    sel.register(p.stdout, selectors.EVENT_READ, "out")
    sel.register(p.stderr, selectors.EVENT_READ, "err")
    lines, notes, open_ = [], {}, 2
    while open_:
        for key, _ in sel.select():
            line = key.fileobj.readline()
            now = time.monotonic()
            if not line:
                sel.unregister(key.fileobj)
                open_ -= 1
            elif key.data == "out":
                lines.append((now, json.loads(line)))
            elif line.startswith(b"selftest: file "):
                notes["file"] = now
            elif line.startswith(b"selftest: fed "):
                notes["fed"] = (now, int(line.split()[2]))
    p.wait()
    return lines, notes

def span(path):  # seconds from the file note to the fed note, and buffers
    _, notes = run(path)
    return notes["fed"][0] - notes["file"], notes["fed"][1]

(t1, n1), (t2, n2) = span(f"{work}/quiet10.wav"), span(f"{work}/quiet40.wav")
period = (t2 - t1) / (n2 - n1)
lines, notes = run(f"{work}/all.wav")
start = notes["fed"][0] - notes["fed"][1] * period
print(f"file mode: {1000 * period:.2f} ms per 100 ms buffer", file=sys.stderr)
for at, j in lines:
    # Audio time t was fed at start + t / 0.1 * period: wallMs is on the audio's scale.
    j["wallMs"] = (at - start) / period * 100
    print(json.dumps(j))
PY
echo "== start of a transcriber: cold, then with the model already loaded"
$bench warmstart

python3 - "$work" <<'PY'
import json, os, re, statistics, sys
work = sys.argv[1]
sys.path.insert(0, "bench")
from score import errors  # word edit distance

def clean(w):
    if not w or w[0] in "<[":
        return None
    return re.sub(r"\(\d+\)$", "", w).lower()

def energy_ends(path, offset=0.0):
    """Where speech stops, in ms: the end of the last 10 ms frame above the
    floor before at least 0.8 s of quieter frames (and the file's end). The
    floor is 6 dB over the recording's own noise (its quietest tenth of
    non-zero frames), at least 30 dB under the loudest frame and at most 40."""
    import array, math, wave
    with wave.open(path) as w:
        rate = w.getframerate()
        pcm = array.array("h", w.readframes(w.getnframes()))
    n = rate // 100
    level = [10 * math.log10(max(1e-9, sum(v * v for v in pcm[i:i + n]) / n))
             for i in range(0, len(pcm) - n + 1, n)]
    heard = sorted(db for db in level if db > -80)
    noise = heard[len(heard) // 10] if heard else -90
    floor = max(max(level) - 40, min(noise + 6, max(level) - 30))
    ends, last, quiet = [], None, 0
    for k, db in enumerate(level):
        if db > floor:
            last, quiet = k, 0
        else:
            quiet += 1
            if last is not None and quiet == 80:
                ends.append(offset + (last + 1) * 10)
                last = None
    if last is not None:
        ends.append(offset + (last + 1) * 10)
    return ends

refs = {}
for line in open(f"{work}/refs.txt"):
    name, *words = line.split()
    refs[name] = words

# pocketsphinx_continuous: its utterances (word, start ms, end ms) per file.
utterances, current = {}, None
for line in open(f"{work}/words.txt"):
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
total = sum(len(r) for r in refs.values())
anchor = sum(errors(refs[f], [w for u in utterances[f] for (w, _, _) in u]) for f in refs)
print(f"reference: {len(refs)} files, {total} words; pocketsphinx_continuous WER "
      f"{100 * anchor / total:.1f}%")

rows = {}
for preset in [p for p in ("accurate", "fast") if os.path.exists(f"{work}/live-{p}.jsonl")]:
    lines = [json.loads(l) for l in open(f"{work}/live-{preset}.jsonl")]
    by = {}
    for j in lines:
        by.setdefault(os.path.basename(j["file"])[:-4], []).append(j)
    errs = shown = final_words = 0
    sentence, delays = [], []
    for f, ref in refs.items():
        items = sorted(by.get(f, []), key=lambda j: j["wallMs"])
        finals = [j for j in items if j["type"] == "final"]
        partials = [j for j in items if j["type"] == "partial"]
        errs += errors(ref, " ".join(j["text"] for j in finals).split())
        # A final word counts as shown when a partial before it, from the
        # same start, had that word at that place.
        for fin in finals:
            words = fin["text"].split()
            before = [p for p in partials if p["wallMs"] <= fin["wallMs"]
                      and abs(p["startMs"] - fin["startMs"]) <= 300]
            for k, w in enumerate(words):
                final_words += 1
                shown += any(len(p["text"].split()) > k and p["text"].split()[k] == w
                             for p in before)
        for end in energy_ends(f"{work}/{f}.wav"):
            # The first final whose words reach the end of the sentence.
            fin = next((j for j in finals if j["endMs"] >= end - 400), None)
            if fin:
                sentence.append(fin["wallMs"] - end)
        for words in utterances.get(f, []):
            if not words:
                continue
            lo, hi = words[0][1] - 1000, words[-1][2] + 1000
            mine = [p for p in partials if lo <= p["startMs"] <= hi]
            for k, (w, start, wend) in enumerate(words):
                hit = next((p for p in mine if len(p["text"].split()) > k
                            and p["text"].split()[k] == w), None)
                if hit:
                    delays.append(hit["wallMs"] - wend)
    delays.sort()
    p95 = delays[min(len(delays) - 1, int(round(0.95 * (len(delays) - 1))))] if delays else -1
    rtf = json.load(open(f"{work}/rtf-{preset}.json"))
    rows[preset] = {
        "WER %": round(100 * errs / total, 1),
        "final words first shown in a partial %": round(100 * shown / max(final_words, 1)),
        "sentence end -> final, median ms": round(statistics.median(sentence)) if sentence else -1,
        "sentences timed": len(sentence),
        "partial delay median ms": round(statistics.median(delays)) if delays else -1,
        "partial delay p95 ms": round(p95),
        "CPU s per audio s, per stream of two": round(rtf["cpu_rtf_per_stream"], 3),
    }
# File mode: each file's sentence ends, placed where the file lies in all.wav.
import wave
lines = [json.loads(l) for l in open(f"{work}/filemode.jsonl")]
finals = [j for j in lines if j["type"] == "final"]
offset, delays = 0.0, []
for f in refs:
    for end in energy_ends(f"{work}/{f}.wav", offset):
        fin = next((j for j in finals if j["endMs"] >= end - 400), None)
        if fin:
            delays.append(fin["wallMs"] - end)
    with wave.open(f"{work}/{f}.wav") as w:
        offset += 1000 * w.getnframes() / w.getframerate()
if delays:
    print(f"file mode (fast): sentence end -> final line, median "
          f"{statistics.median(delays):.0f} ms over {len(delays)} sentences")
names = list(rows)
print(f"{'measure':42} " + " ".join(f"{n:>10}" for n in names))
for k in rows[names[0]]:
    print(f"{k:42} " + " ".join(f"{rows[n][k]:>10}" for n in names))
PY
