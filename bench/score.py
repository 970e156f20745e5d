"""Word error rates for the benchmarks: edit distance over words, and a 95%
bootstrap interval over utterances (seeded, so a rerun prints the same)."""
import json
import os
import random
import re
import sys


def words(text):
    return re.sub(r"[^a-z' ]", " ", text.lower()).split()


def errors(ref, hyp):
    d = list(range(len(hyp) + 1))
    for i, r in enumerate(ref, 1):
        prev, d[0] = d[0], i
        for j, h in enumerate(hyp, 1):
            prev, d[j] = d[j], min(d[j] + 1, d[j - 1] + 1, prev + (r != h))
    return d[len(hyp)]


def wer(pairs, rounds=1000):
    """pairs: [(errors, reference words)]. Returns (WER %, low %, high %)."""
    total = sum(n for _, n in pairs) or 1
    point = 100 * sum(e for e, _ in pairs) / total
    rng = random.Random(1)
    samples = []
    for _ in range(rounds):
        pick = [pairs[rng.randrange(len(pairs))] for _ in pairs]
        samples.append(100 * sum(e for e, _ in pick) / (sum(n for _, n in pick) or 1))
    samples.sort()
    return point, samples[int(0.025 * rounds)], samples[int(0.975 * rounds) - 1]


def main():
    """score.py REFS HYPS...: REFS has "key<TAB>reference" lines; each HYPS
    file has JSON lines {"file", "text"}, a file's base name being its key.
    Prints one line per HYPS file: its WER with the interval."""
    refs = {}
    for line in open(sys.argv[1]):
        key, _, text = line.rstrip("\n").partition("\t")
        refs[key] = words(text)
    for path in sys.argv[2:]:
        hyps = {}
        for line in open(path):
            j = json.loads(line)
            hyps[os.path.basename(j["file"])] = words(j["text"])
        pairs, missing = [], 0
        for key, ref in refs.items():
            hyp = hyps.get(key)
            if hyp is None:
                missing += 1
                hyp = []
            pairs.append((errors(ref, hyp), len(ref)))
        point, low, high = wer(pairs)
        note = f", {missing} missing" if missing else ""
        print(f"{point:5.1f}% [{low:4.1f}, {high:4.1f}]  {sum(n for _, n in pairs)} words{note}")


if __name__ == "__main__":
    main()
