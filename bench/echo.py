"""Echo cancellation on rooms made from speech: see echo.sh."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.dirname(__file__))
from score import errors, words  # noqa: E402

HELPER = "build/zorva-helper"
ECHO_BENCH = "build/bench/echo_bench"
LIBRIVOX = "/usr/share/pocketsphinx/test/data/librivox"

# The far side: two participants, two voices.
FAR = [
    ("rms", "please remember to send the quarterly report by friday"),
    ("awb", "the weather today is sunny with a light breeze"),
    ("rms", "our budget meeting moves to next tuesday morning"),
    ("awb", "we will review the budget together on thursday"),
    ("rms", "the new office opens in march near the river"),
    ("awb", "customers asked for a darker colour on the website"),
    ("rms", "my train was delayed by twenty minutes this morning"),
    ("awb", "please book the large conference room for monday"),
]
# Another app on the same speakers, not the call: a video, at -10 dB.
VIDEO = [
    "the red fox jumped over the sleeping dog near the barn",
    "scientists discovered a new species of frog in the jungle",
    "this recipe needs two cups of flour and a pinch of salt",
]
VIDEO_AT = [6.0, 24.0, 42.0]
# The user: recorded speech.
USER = ["0870", "0880", "0890", "0920", "0930"]
# Who speaks when: far sentences (F) and the user's (U) in turn, 1 s apart;
# "U+F" is the user talking while the far side starts 1.5 s later.
ORDER = ["F0", "F1", "U0", "F2", "U1", "F3", "U2+F4", "F5", "U3", "F6", "U4", "F7"]
STOP = set("the a to by is with on we our next i in all for was this my".split())

# name: (far-side gain in dB, delay ms, reverb, clock drift)
ROOMS = {
    "-3dB 20ms dry": (-3, 20, False, False),
    "-3dB 60ms reverb": (-3, 60, True, False),
    "-6dB 150ms reverb": (-6, 150, True, False),
    "-10dB 60ms dry": (-10, 60, False, False),
    "-6dB 20ms reverb": (-6, 20, True, False),
    "-3dB 60ms reverb drift": (-3, 60, True, True),
    "-6dB 300ms reverb": (-6, 300, True, False),
    "-3dB 500ms dry": (-3, 500, False, False),
    "-3dB 60ms reverb + video": (-3, 60, True, False),
}


def sox(*args):
    subprocess.run(["sox", "-D", *map(str, args)], check=True, stderr=subprocess.DEVNULL)


def duration(path):
    return float(subprocess.run(["soxi", "-D", path], capture_output=True, text=True).stdout)


def user_clips():
    """The user's sentences for each round: [[(audio path, reference)] * 5].
    By default one round of LibriVox; USERS=DIR takes ROUNDS rounds from an
    evaluation set (DIR/refs.tsv: "path<TAB>reference"), its clips of 3 to
    8 s in the order listed."""
    if not os.environ.get("USERS"):
        refs = {}
        for line in open(f"{LIBRIVOX}/transcription"):
            text, _, key = line.strip().rpartition(" (")
            refs[key.rstrip(")")[-4:]] = text.replace("<s>", "").replace("</s>", "").strip()
        return [[(f"{LIBRIVOX}/sense_and_sensibility_01_austen_64kb-{k}.wav", refs[k])
                 for k in USER]]
    folder, rounds = os.environ["USERS"], int(os.environ.get("ROUNDS", "4"))
    clips = []
    for line in open(f"{folder}/refs.tsv"):
        path, text = line.rstrip("\n").split("\t")
        if 3.0 <= duration(f"{folder}/{path}") <= 8.0:
            clips.append((f"{folder}/{path}", text))
        if len(clips) == 5 * rounds:
            break
    return [clips[i:i + 5] for i in range(0, len(clips) - 4, 5)]


def make_speech(work, clips):
    """16 kHz sentences, each peaking at -6 dBFS; returns the user's text."""
    for i, (voice, text) in enumerate(FAR):
        subprocess.run(["flite", "-voice", voice, "-t", text, "-o", f"{work}/t{i}.wav"], check=True)
        sox(f"{work}/t{i}.wav", "-r", 16000, "-b", 16, f"{work}/F{i}.wav", "norm", -6)
    user_text = []
    for i, (path, text) in enumerate(clips):
        sox(path, "-r", 16000, "-c", 1, "-b", 16, f"{work}/U{i}.wav", "norm", -6)
        user_text.append(text)
    for i, text in enumerate(VIDEO):
        subprocess.run(["flite", "-voice", "slt", "-t", text, "-o", f"{work}/tv{i}.wav"], check=True)
        sox(f"{work}/tv{i}.wav", "-r", 16000, "-b", 16, f"{work}/V{i}.wav", "norm", -16)
    return " ".join(user_text)


def lay_out(work):
    """Places the sentences; writes far.wav and user.wav (the same length) and
    returns the far-only stretches and when the far side first speaks."""
    at, far_parts, user_parts, far_only = 0.5, [], [], []
    for turn in ORDER:
        if turn.startswith("U"):
            u = turn.split("+")[0]
            user_parts.append((f"{work}/{u}.wav", at))
            end = at + duration(f"{work}/{u}.wav")
            if "+" in turn:
                f = turn.split("+")[1]
                far_parts.append((f"{work}/{f}.wav", at + 1.5))
                end = max(end, at + 1.5 + duration(f"{work}/{f}.wav"))
        else:
            far_parts.append((f"{work}/{turn}.wav", at))
            end = at + duration(f"{work}/{turn}.wav")
            far_only.append((at, end + 0.3))
        at = end + 1.0
    length = at + 1.0
    for name, parts in (("far", far_parts), ("user", user_parts)):
        placed = []
        for i, (path, start) in enumerate(parts):
            out = f"{work}/{name}-{i}.wav"
            sox(path, out, "pad", f"{start:.3f}", 0)
            placed.append(out)
        sox("-m", *placed, f"{work}/{name}-mix.wav")
        sox(f"{work}/{name}-mix.wav", f"{work}/{name}.wav", "pad", 0, length, "trim", 0, length)
    placed = []
    for i, start in enumerate(VIDEO_AT):
        sox(f"{work}/V{i}.wav", f"{work}/video-{i}.wav", "pad", f"{start:.3f}", 0)
        placed.append(f"{work}/video-{i}.wav")
    sox("-m", f"{work}/far.wav", *placed, f"{work}/all-mix.wav")
    sox(f"{work}/all-mix.wav", f"{work}/all.wav", "trim", 0, length)
    sox("-R", "-n", "-r", 16000, "-c", 1, "-b", 16, f"{work}/floor.wav", "synth", length,
        "whitenoise", "gain", -55.2)
    sox("-m", f"{work}/user.wav", f"{work}/floor.wav", f"{work}/clean.wav")
    return far_only, far_parts[0][1], length


def make_room(work, name, gain, delay, reverb, drift, length):
    out = f"{work}/room-{abs(hash(name))}.wav"
    fx = (["reverb", 40, 50, 30] if reverb else []) + ["gain", gain]
    fx += ["speed", 1.001] if drift else []
    played = f"{work}/all.wav" if "video" in name else f"{work}/far.wav"
    sox(played, f"{work}/echo.wav", *fx, "pad", delay / 1000, 0, "trim", 0, length)
    sox("-m", f"{work}/clean.wav", f"{work}/echo.wav", out)
    return out


# The audio server's own canceller (PulseAudio's module-echo-cancel, WebRTC),
# as a user would set it up: with its defaults, and tuned.
ANCHORS = {
    "module-echo-cancel": "",
    "module-echo-cancel tuned": "aec_args='analog_gain_control=0 digital_gain_control=0 "
    "noise_suppression=0 extended_filter=1'",
}


def through_server(work, mic, ref, args, key):
    """Plays `ref` into the canceller's sink and `mic` into the microphone it
    cleans, both at once on a private PulseAudio server; returns what the
    canceller's source recorded (from when both started)."""
    d = tempfile.mkdtemp(prefix="zorva-aec-")
    try:
        with open(f"{d}/default.pa", "w") as f:
            f.write(f"load-module module-native-protocol-unix auth-anonymous=1 socket={d}/native\n"
                    "load-module module-null-sink sink_name=spk\n"
                    "load-module module-null-sink sink_name=micsink\n"
                    "load-module module-echo-cancel source_master=micsink.monitor sink_master=spk "
                    f"aec_method=webrtc source_name=ec_src sink_name=ec_sink {args}\n")
        server = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--realtime=no", "--exit-idle-time=-1",
             "--disallow-exit", "--use-pid-file=no", "-F", f"{d}/default.pa",
             f"--log-target=file:{d}/log"],
            env=dict(os.environ, PULSE_RUNTIME_PATH=f"{d}/runtime", HOME=d))
        env = dict(os.environ, PULSE_SERVER=f"unix:{d}/native", HOME=d)
        for _ in range(100):
            if subprocess.run(["pactl", "info"], env=env, capture_output=True).returncode == 0:
                break
            time.sleep(0.1)
        rec = subprocess.Popen(["parecord", "--device=ec_src", "--file-format=wav", "--rate=16000",
                                "--channels=1", f"{d}/out.wav"], env=env)
        time.sleep(1.0)
        plays = [subprocess.Popen(["paplay", f"--device={dev}", path], env=env)
                 for dev, path in (("ec_sink", ref), ("micsink", mic))]
        for p in plays:
            p.wait()
        time.sleep(0.5)
        rec.terminate()
        rec.wait()
        server.terminate()
        server.wait()
        out = f"{work}/anchor-{key}.wav"
        sox(f"{d}/out.wav", out, "trim", 1.0)
        return out
    finally:
        shutil.rmtree(d, ignore_errors=True)


def transcribe(mic, reference=None):
    cmd = [HELPER, "--transcribe-file", mic] + (["--echo-reference", reference] if reference else [])
    out = subprocess.run(cmd, capture_output=True, text=True).stdout
    finals = [json.loads(l) for l in out.splitlines() if '"final"' in l]
    return [(f["startMs"], f["text"]) for f in finals]


def score(finals, user_text, far_content, far_from_ms):
    said = words(" ".join(t for _, t in finals))
    leaked = {w for w in said if w in far_content}
    late = {w for ms, t in finals if ms >= far_from_ms for w in words(t) if w in far_content}
    wer = 100 * errors(words(user_text), said) / len(words(user_text))
    return 100 * len(leaked) / len(far_content), len(late), wer


def prepare(work, clips, only):
    """One round: the speech, the rooms and its jobs, by name."""
    os.makedirs(work)
    user_text = make_speech(work, clips)
    far_only, far_start, length = lay_out(work)
    rooms = {n: make_room(work, n, *p, length) for n, p in ROOMS.items() if not only or n in only}
    jobs = {"clean": (f"{work}/clean.wav", None), "headphones": (f"{work}/clean.wav", f"{work}/far.wav")}
    for n, path in rooms.items():
        jobs[n + " | today"] = (path, None)
        jobs[n + " | cancelled"] = (path, f"{work}/far.wav")
        if "video" in n:  # the reference is all the speakers play, not only the call
            jobs[n + " | cancelled, all playback"] = (path, f"{work}/all.wav")
    if os.environ.get("ANCHOR"):
        runs = [(n, a) for n in rooms for a in ANCHORS]
        with ThreadPoolExecutor(int(os.environ.get("JOBS", "6"))) as pool:
            outs = pool.map(lambda r: through_server(work, rooms[r[0]], f"{work}/far.wav",
                                                      ANCHORS[r[1]], abs(hash(r))), runs)
            for (n, a), out in zip(runs, outs):
                jobs[f"{n} | {a}"] = (out, None)
    far_content = set(words(" ".join(t for _, t in FAR))) - STOP - set(words(user_text))
    # With a video on the speakers too, whatever they play counts as leaked.
    all_content = far_content | set(words(" ".join(VIDEO))) - STOP - set(words(user_text))
    return dict(work=work, user_text=user_text, jobs=jobs, far_content=far_content,
                all_content=all_content, far_from_ms=(far_start + 3.0) * 1000, length=length,
                stretches=[f"{a:.2f}-{b:.2f}" for a, b in far_only])


def main():
    only = [r for r in os.environ.get("ROOMS", "").split(",") if r]
    rounds = [prepare(f"{sys.argv[1]}/r{i}", clips, only) for i, clips in enumerate(user_clips())]
    runs = [(r, name) for r in range(len(rounds)) for name in rounds[r]["jobs"]]
    with ThreadPoolExecutor(int(os.environ.get("JOBS", "6"))) as pool:
        finals = dict(zip(runs, pool.map(lambda k: transcribe(*rounds[k[0]]["jobs"][k[1]]), runs)))

    user_words = sum(len(words(r["user_text"])) for r in rounds)

    def scored(name):  # leaked % (mean over rounds), late, WER % over all rounds
        per_round = [score(finals[(i, name)], r["user_text"],
                           r["all_content"] if "video" in name else r["far_content"],
                           r["far_from_ms"]) for i, r in enumerate(rounds)]
        weights = [len(words(r["user_text"])) / user_words for r in rounds]
        return (sum(leak for leak, _, _ in per_round) / len(rounds),
                sum(late for _, late, _ in per_round),
                sum(w * wer for w, (_, _, wer) in zip(weights, per_round)))

    base = scored("clean")[2]
    print(f"{len(rounds[0]['far_content'])} far-side content words; user {user_words} words in "
          f"{len(rounds)} round(s) of {rounds[0]['length']:.0f} s; clean user WER {base:.1f}%")
    print(f"{'room':40s} {'leaked':>7s} {'late':>5s} {'WER':>6s} {'vs clean':>8s}  ERLE dB (far-only)  cpu")
    for name in rounds[0]["jobs"]:
        if name == "clean":
            if os.environ.get("VERBOSE"):
                print("clean: " + " / ".join(t for r in range(len(rounds))
                                             for _, t in finals[(r, "clean")]))
            continue
        leak, late, wer = scored(name)
        extra = ""
        if "cancelled" in name or name == "headphones":
            erle, cpu, found = [], [], []
            for r in rounds:
                mic, ref = r["jobs"][name]
                res = subprocess.run([ECHO_BENCH, mic, ref, f"{r['work']}/out.wav", *r["stretches"]],
                                     capture_output=True, text=True).stdout.splitlines()
                erle += [float(l.split()[2]) for l in res if l.startswith("erle")]
                cpu.append(float(res[0].split()[1].rstrip("%")))
                found.append(res[0].split("found ")[1])
            extra = (f"  {min(erle):5.1f} .. {max(erle):5.1f}  {max(cpu):.2f}%  "
                     f"({', '.join(sorted(set(found)))})")
        print(f"{name:40s} {leak:6.0f}% {late:5d} {wer:5.1f}% {wer - base:+7.1f}{extra}")
        if os.environ.get("VERBOSE"):
            print("    " + " / ".join(t for r in range(len(rounds)) for _, t in finals[(r, name)]))


if __name__ == "__main__":
    main()
