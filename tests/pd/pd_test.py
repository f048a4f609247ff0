#!/usr/bin/python3
"""Runs korvane~ and kv_lsProd in the real Pd (batch, no GUI) and checks
them against the stand-in host's `korvane run` on the same sound.

    pd_test.py CASE --pd PD --externals DIR --korvane BIN --plugins DIR --patches DIR --scratch DIR
"""
import argparse
import json
import math
import os
import shutil
import struct
import subprocess
import sys

RATE = 44100
PD_TIMEOUT = 600  # seconds of wall time; a hang fails the test


def write_wav(path, channels):
    """32-bit float WAV of equally long channels"""
    n, nch = len(channels[0]), len(channels)
    data = b"".join(struct.pack("<%df" % nch, *(c[i] for c in channels)) for i in range(n))
    fmt = struct.pack("<HHIIHH", 3, nch, RATE, RATE * 4 * nch, 4 * nch, 32)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(data)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<I", len(fmt)) + fmt)
        f.write(b"data" + struct.pack("<I", len(data)) + data)


def read_wav(path):
    """channels of a 32-bit float WAV (plain or extensible)"""
    with open(path, "rb") as f:
        raw = f.read()
    assert raw[:4] == b"RIFF" and raw[8:12] == b"WAVE", path + ": not a WAV file"
    pos, nch, data = 12, None, None
    while pos + 8 <= len(raw):
        tag, size = raw[pos:pos + 4], struct.unpack("<I", raw[pos + 4:pos + 8])[0]
        body = raw[pos + 8:pos + 8 + size]
        if tag == b"fmt ":
            code, nch = struct.unpack("<HH", body[:4])
            bits = struct.unpack("<H", body[14:16])[0]
            if code == 0xFFFE:
                code = struct.unpack("<H", body[24:26])[0]
            assert code == 3 and bits == 32, path + ": not 32-bit float"
        elif tag == b"data":
            data = body
        pos += 8 + size + (size & 1)
    n = len(data) // (4 * nch)
    v = struct.unpack("<%df" % (n * nch), data[:n * nch * 4])
    return [list(v[c::nch]) for c in range(nch)]


def loop(seconds, seed):
    """a two-part loop: a low decaying tone on the beat, a bright one off it, and some noise"""
    state = seed
    def noise():
        nonlocal state
        state = (state * 1103515245 + 12345) % 2**31
        return state / 2**31 - 0.5
    n = int(seconds * RATE)
    left, right = [], []
    for i in range(n):
        t = i / RATE
        low = math.sin(2 * math.pi * 110 * t) * math.exp(-8 * math.fmod(t, 0.5))
        high = math.sin(2 * math.pi * 2500 * t) * math.exp(-30 * math.fmod(t + 0.125, 0.25))
        z = 0.02 * noise()
        left.append(0.6 * low + 0.3 * high + z)
        right.append(0.4 * low + 0.5 * high + z)
    return left, right


def run_pd(a, patch, scratch, extra_open=(), send=None, env_extra=None):
    cmd = [a.pd, "-nogui", "-batch", "-nrt", "-stderr", "-noprefs", "-path", a.externals, "-open", patch]
    for p in extra_open:
        cmd += ["-open", p]
    if send:
        cmd += ["-send", send]
    env = dict(os.environ)
    if a.preload:
        env["LD_PRELOAD"] = a.preload
        supp = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lsan.supp")
        env.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=1")
        env.setdefault("LSAN_OPTIONS", "suppressions=" + supp)
        env.setdefault("UBSAN_OPTIONS", "halt_on_error=1:print_stacktrace=1")
    env.update(env_extra or {})
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=PD_TIMEOUT, env=env, cwd=scratch)
    print("$ " + " ".join(cmd))
    print(r.stderr)
    sanitizer = [l for l in r.stderr.splitlines() if "Sanitizer" in l or "runtime error" in l]
    assert not sanitizer, "sanitizer report:\n" + "\n".join(sanitizer)
    assert r.returncode == 0, "pd exited with %d" % r.returncode
    return r.stderr.splitlines()


def tool_env():
    """the environment of the tool's own runs: the font library's caches are no leak of ours"""
    env = dict(os.environ)
    supp = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lsan.supp")
    env.setdefault("LSAN_OPTIONS", "suppressions=" + supp)
    return env


def run_standin(a, script_text, scratch, name):
    script = os.path.join(scratch, name + ".kvpatch")
    trace = os.path.join(scratch, name + ".jsonl")
    with open(script, "w") as f:
        f.write(script_text)
    r = subprocess.run([a.korvane, "run", script, "--trace", trace, "--plugins", a.plugins],
                       capture_output=True, text=True, timeout=PD_TIMEOUT, env=tool_env())
    assert r.returncode == 0, "korvane run failed:\n" + r.stderr
    with open(trace) as f:
        return [json.loads(l) for l in f if l.strip()]


def console_lines(events):
    """the stand-in's console lines; a text ending in a newline prints an empty line after it"""
    lines = []
    for e in events:
        if "console" in e:
            lines += e["text"].split("\n") if e["text"].endswith("\n") else [e["text"]]
    return lines


def pd_text(line):
    return line[len("error: "):] if line.startswith("error: ") else line


def assert_in_order(expected, got, what):
    """every expected line appears in got, in the same order"""
    i = 0
    for line in got:
        if i < len(expected) and pd_text(line) == expected[i]:
            i += 1
    assert i == len(expected), "%s: line %r not found in order in Pd's output" % (what, expected[i])


def close(pd, ref, what, rel=1e-6):
    assert len(pd) == len(ref), "%s: %d values, expected %d" % (what, len(pd), len(ref))
    for i, (x, y) in enumerate(zip(pd, ref)):
        assert abs(x - y) <= rel * abs(y), "%s[%d]: %.9g, expected %.9g" % (what, i, x, y)


STANDIN_PREAMBLE = """new k korvane~
new act kv_lsProd
new base kv_lsProd
connect k 0 act 1
connect k 1 base 1
connect act 0 k 1
connect base 0 k 2
"""


def case_compare(a, scratch):
    """the lists and output of a decomposition equal the stand-in's, also with two objects at work"""
    write_wav(os.path.join(scratch, "sound.wav"), loop(2.0, 7))
    events = run_standin(a, "buffer snd %s/sound.wav\nbuffer snd_out 2 1 44100\n" % scratch + STANDIN_PREAMBLE +
                         "send k 0 loadBuffer snd\nsend k 0 int 4\nsend k 0 decomp\n"
                         "send act 0 float 1.\nsend base 0 float 1.\nsend k 2 bang\n"
                         "write snd_out %s/ref_out.wav\n" % scratch, scratch, "compare")
    lines = run_pd(a, os.path.join(a.patches, "compare.pd"), scratch, send="test-run symbol " + scratch)
    assert_in_order(console_lines(events), lines, "console")
    lists = lambda outlet: [v for e in events if e.get("obj") == "k" and e.get("outlet") == outlet
                            for v in e["atoms"]]
    close(read_wav(os.path.join(scratch, "pd_acts.wav"))[0], lists(0), "activations")
    close(read_wav(os.path.join(scratch, "pd_bases.wav"))[0], lists(1), "bases")
    # a second object, decomposing at the same time, shares nothing with the first
    assert read_wav(os.path.join(scratch, "pd_acts2.wav")) == read_wav(os.path.join(scratch, "pd_acts.wav"))
    pd_out, ref_out = read_wav(os.path.join(scratch, "pd_out.wav")), read_wav(os.path.join(scratch, "ref_out.wav"))
    for c in range(2):
        assert pd_out[c] == ref_out[c], "output channel %d differs from the stand-in's buffer" % c


def case_refusals(a, scratch):
    """each refusal posts the stand-in's texts, in its order"""
    left, _ = loop(6.0, 3)
    write_wav(os.path.join(scratch, "short.wav"), [left[:882]])
    write_wav(os.path.join(scratch, "long.wav"), [left])
    steps = ["send k 0 decomp", "send k 0 int -2", "send k 0 decomp", "send k 0 int 2", "send k 0 decomp",
             "send k 2 bang", "send k 0 loadBuffer nosuch", "send k 0 loadBuffer short", "send k 0 decomp",
             "send k 0 loadBuffer snd", "send k 0 setWin 0.00001", "send k 0 decomp", "send k 0 setWin 0.08",
             "send k 0 setHop 0.0000001", "send k 0 decomp", "send k 0 setHop 0.005", "send k 0 decomp",
             "send k 0 setHop 0.25", "send k 0 setWin 1", "send k 0 decomp", "send k 0 setWin 0.08",
             "send k 0 int 2000000", "send k 0 decomp", "send k 0 int 2", "send k 0 decomp",
             "send k 2 list 1 2 3", "send act 0 float 1.", "send base 0 float 1.", "send k 2 bang"]
    events = run_standin(a, "buffer short %s/short.wav\nbuffer snd %s/long.wav\n" % (scratch, scratch) +
                         STANDIN_PREAMBLE + "\n".join(steps) + "\n", scratch, "refusals")
    expected = console_lines(events)
    errors = [e["text"].rstrip("\n") for e in events if e.get("console") == "error"]
    assert len(errors) >= 14, "the stand-in refused only %d times" % len(errors)
    lines = run_pd(a, os.path.join(a.patches, "refusals.pd"), scratch, send="test-run symbol " + scratch)
    for text in errors:
        assert "error: " + text in lines, "refusal %r is not on Pd's stderr" % text
    # Pd's own: a seed that is not a whole number from 0 to 2^32 - 1
    assert lines.count("error: korvane~: seed must be a whole number from 0 to 4294967295") == 3
    assert_in_order(expected, lines, "console")


def case_threads(a, scratch):
    """a metro runs on while the worker decomposes; a second decomp stops the first"""
    left, right = loop(8.0, 5)
    write_wav(os.path.join(scratch, "long.wav"), [left])
    lines = run_pd(a, os.path.join(a.patches, "threads.pd"), scratch, send="test-run symbol " + scratch)
    assert "korvane~: decomposition stopped" in lines, "the first decomposition was not stopped"
    assert lines.count("done.") == 1, "one decomposition should have finished"
    assert "activation-lists: 6" in lines, "six activation lists expected, once"
    ticks = [int(float(l.split(": ")[1])) for l in lines if l.startswith("metro-ticks: ")]
    assert ticks and ticks[0] > 0, "the metro did not tick during the decomposition"
    # "progress kvprog": shares of the rounds on the way, 1 at the end
    assert "progress-last: 1" in lines, "no final progress"
    counts = [int(l.split(": ")[1]) for l in lines if l.startswith("progress-count: ")]
    assert counts and counts[0] >= 3, "too little progress reported"
    assert "error: Mask error: a decomposition is running" in lines
    assert "error: Resynthesis error: a decomposition is running" in lines
    # setWin 1 sent during the run applies to the next analysis only
    assert_in_order(["done.", "activation-lists: 6", "winlength = 1.000000, FFTsize = 65536, hop = 16384, frames = 17",
                     "Error: bases will exceed maximum length. Try one of the following:"], lines, "after the run")


def case_delete(a, scratch):
    """deleting a decomposing object, and quitting Pd while one decomposes, end cleanly"""
    left, _ = loop(8.0, 9)
    write_wav(os.path.join(scratch, "long.wav"), [left])
    lines = run_pd(a, os.path.join(a.patches, "delete.pd"), scratch, send="test-run symbol " + scratch)
    assert "delete-test: deleted" in lines
    assert "korvane~: decomposition stopped" in lines, "the object was not deleted mid-run"


def case_example(a, scratch):
    """examples/korvane~-pd.pd, unseeded, writes what examples/typical.kvpatch writes"""
    r = subprocess.run([a.korvane, "demo", "-o", os.path.join(scratch, "out", "demo")], capture_output=True,
                       text=True, timeout=PD_TIMEOUT, env=tool_env())
    assert r.returncode == 0, r.stderr
    src = os.path.join(os.path.dirname(a.patches), "..", "examples")
    os.makedirs(os.path.join(scratch, "examples"))
    for f in ("typical.kvpatch", "korvane~-pd.pd"):
        shutil.copy(os.path.join(src, f), os.path.join(scratch, "examples", f))
    r = subprocess.run([a.korvane, "run", "examples/typical.kvpatch", "--plugins", a.plugins], cwd=scratch,
                       capture_output=True, text=True, timeout=PD_TIMEOUT, env=tool_env())
    assert r.returncode == 0, r.stderr
    # neither process draws from rand() before the decomposition: the same start
    run_pd(a, os.path.join(scratch, "examples", "korvane~-pd.pd"), os.path.join(scratch, "examples"),
           extra_open=[os.path.join(a.patches, "example_runner.pd")], send="korvane-example-run bang")
    ref = read_wav(os.path.join(scratch, "out", "demo", "drums_out.wav"))
    got = read_wav(os.path.join(scratch, "out", "demo", "drums_out-pd.wav"))
    assert len(got) == 1 and len(ref) == 2
    assert got[0] == ref[0] and got[0] == ref[1], "the example's output differs from typical.kvpatch's"


def case_lsprod(a, scratch):
    """kv_lsProd's lists equal the stand-in's, single-precision products included"""
    events = run_standin(a, "new lp kv_lsProd\nsend lp 0 2.5\nsend lp 1 list 1 2 3\nsend lp 0 2.\n"
                         "send lp 1 0.5\nsend lp 0 list 9 9\nsend lp 1 list 0.1\nsend lp 0 3\n", scratch, "lsprod")
    lists = [e["atoms"] for e in events if e.get("obj") == "lp"]
    assert len(lists) == 4, "the stand-in sent %d lists" % len(lists)
    lines = run_pd(a, os.path.join(a.patches, "lsprod.pd"), scratch, send="test-run symbol " + scratch)
    assert "lists: 4" in lines, "Pd's kv_lsProd should send four lists"
    got = read_wav(os.path.join(scratch, "pd_lsprod.wav"))[0]
    assert got == [v for l in lists for v in l], "lists %r, the stand-in's %r" % (got, lists)


def help_case(a, scratch, folder):
    lines = run_pd(a, os.path.join(folder, "korvane~-help.pd"), scratch,
                   extra_open=[os.path.join(a.patches, "help_runner.pd"), os.path.join(folder, "kv_lsProd-help.pd")],
                   send="korvane~-help-run bang")
    bad = [l for l in lines if l.startswith("error") or "couldn't create" in l or "warning" in l]
    assert not bad, "error lines:\n" + "\n".join(bad)
    assert "done." in lines and "korvane~-help: bang" in lines, "the help patch did not resynthesise"
    assert "kv_lsProd object loaded..." in lines


def case_help(a, scratch):
    """both help patches open and run clean"""
    help_case(a, scratch, a.externals)


def case_install(a, scratch):
    """make install's folder holds the externals and help patches, loadable from there"""
    home = os.path.join(scratch, "home")
    prefix = os.path.join(home, ".local")
    r = subprocess.run(["cmake", "--install", a.build, "--prefix", prefix], capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr
    folder = os.path.join(prefix, "lib", "pd", "extra", "korvane")
    for f in ("korvane~.pd_linux", "kv_lsProd.pd_linux", "korvane~-help.pd", "kv_lsProd-help.pd"):
        assert os.path.isfile(os.path.join(folder, f)), f + " not installed in " + folder
    a.externals = folder
    help_case(a, scratch, folder)
    # ~/.local/lib/pd/extra is one of Pd's standard folders, where
    # [declare -path korvane] finds the installed folder from any patch
    decl = os.path.join(scratch, "declare.pd")
    with open(decl, "w") as f:
        f.write("#N canvas 0 50 400 200 12;\n#X declare -path korvane;\n#X obj 20 20 declare -path korvane;\n"
                "#X obj 20 50 korvane~;\n#X obj 20 80 kv_lsProd;\n#X obj 120 20 loadbang;\n"
                "#X msg 120 50 \\; pd quit;\n#X connect 3 0 4 0;\n")
    a.externals = scratch
    lines = run_pd(a, decl, scratch, env_extra={"HOME": home})
    assert not [l for l in lines if "couldn't create" in l], "\n".join(lines)
    assert "korvane~ external loaded. v0.4 by the korvane team, 2026" in lines
    assert "kv_lsProd object loaded..." in lines


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("case")
    for opt in ("pd", "externals", "korvane", "plugins", "patches", "scratch", "build"):
        ap.add_argument("--" + opt, default="")
    ap.add_argument("--preload", default="", help="LD_PRELOAD for a sanitizer-built external")
    a = ap.parse_args()
    for opt in ("pd", "externals", "korvane", "plugins", "patches", "scratch", "build"):
        v = getattr(a, opt)
        if v and os.sep in v:
            setattr(a, opt, os.path.abspath(v))
    scratch = os.path.abspath(os.path.join(a.scratch, a.case))
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    globals()["case_" + a.case](a, scratch)
    print("ok: " + a.case)


if __name__ == "__main__":
    main()
