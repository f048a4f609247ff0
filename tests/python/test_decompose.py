"""korvane.decompose against `korvane decompose` on the same sound and
settings, the level-true components, save, load and remix, and refusals."""

import json
import os
import subprocess
import threading
import warnings
import _thread

import numpy as np
import pytest

import korvane
import sounds

KORVANE = os.environ["KORVANE_EXE"]
RATE = 22050


@pytest.fixture(scope="module")
def loop(tmp_path_factory):
    path = tmp_path_factory.mktemp("in") / "loop.wav"
    samples = sounds.write_pcm16(path, sounds.tones(RATE), RATE)
    return path, samples


def cli(*args):
    subprocess.run([KORVANE, "decompose", *map(str, args), "-q"], check=True)


def record(folder):
    with open(os.path.join(folder, "components.json")) as f:
        return json.load(f)


# The factors agree to 1e-9 of their size: numpy's BLAS (threaded) may sum
# the start's products in another order than the tool's (serial), by 1e-13,
# which 200 rounds of a pool and its grouping carry to about 1e-10.
def assert_same_factors(a, b):
    np.testing.assert_allclose(a, b, rtol=0, atol=1e-9 * np.abs(b).max())


@pytest.mark.parametrize("options,keywords", [
    ([], {}),
    (["--cost", "euclidean", "--start", "random", "--order", "energy"],
     {"cost": "euclidean", "start": "random", "order": "energy"}),
    (["--channels", "sum", "--win", "0.05", "--hop", "0.5", "--tol", "0", "--iterations", "30"],
     {"channels": "sum", "win": 0.05, "hop": 0.5, "tol": 0, "iterations": 30}),
    (["--pool", "6", "--span", "2", "--beta", "0.5", "--continuity", "0.5"],
     {"pool": 6, "span": 2, "beta": 0.5, "continuity": 0.5}),
    (["--precision", "double", "--channels", "sum"], {"precision": "double", "channels": "sum"}),
    (["--relax", "1.5", "--tol", "0", "--precision", "double", "--channel-spectra", "own"],
     {"relax": 1.5, "tol": 0, "precision": "double", "channel_spectra": "own"}),
    (["--bands", "400", "--iterations", "60"], {"bands": 400, "iterations": 60}),
    (["--bands", "0"], {"bands": 0}),
    (["--filter", "masks"], {"filter": "masks"}),
])
def test_module_equals_the_command_line(loop, tmp_path, options, keywords):
    path, _ = loop
    cli(path, "-k", 4, "--seed", 7, "--format", "float", "--group", "1,3", "-o", tmp_path / "cli", *options)
    d = korvane.decompose(path, 4, seed=7, **keywords)
    files = d.save(tmp_path / "py", format="float", groups=[[0, 2]])
    want, got = record(tmp_path / "cli"), record(tmp_path / "py")
    assert files == want["files"] == got["files"]
    assert_same_factors(d.W, np.reshape(want["factors"]["W"], d.W.shape))
    assert_same_factors(d.H, np.reshape(want["factors"]["H"], d.H.shape))
    for key in ("iterations_run", "seed_used", "channel_mode", "fft_size", "hop", "frames", "settings", "input_hash"):
        assert got[key] == want[key], key
    assert d.info["iterations"] == want["iterations_run"]
    np.testing.assert_allclose(d.energy_share, [c["energy_share"] for c in want["components"]], rtol=1e-9)
    np.testing.assert_allclose(d.centroid_hz, [c["centroid_hz"] for c in want["components"]], rtol=1e-9)
    assert_same_factors(d.bases, np.transpose([c["basis"] for c in want["components"]]))
    for name in files:
        if name.endswith(".wav"):
            a, b = sounds.read_wav(tmp_path / "cli" / name), sounds.read_wav(tmp_path / "py" / name)
            assert a[1:] == b[1:] and a[0].shape == b[0].shape
            np.testing.assert_allclose(b[0], a[0], rtol=0, atol=1e-6)


def test_pcm_files_equal_the_command_lines_sample_for_sample(loop, tmp_path):
    path, _ = loop
    cli(path, "-k", 3, "--seed", 2, "--plot", "-o", tmp_path / "cli")
    korvane.decompose(path, 3, seed=2).save(tmp_path / "py", plot=True)
    for name in record(tmp_path / "cli")["files"]:
        if name.endswith(".wav"):
            a, b = (sounds.read_wav(tmp_path / d / name)[0] for d in ("cli", "py"))
            assert np.abs(a - b).max() <= 1 / 32768, name  # one step at most, from the 1e-13 above
    assert (tmp_path / "py" / "decomposition.png").stat().st_size > 0


# single precision (the default) resynthesises in float: a few float steps
# of the sound's peak; double to its own rounding
@pytest.mark.parametrize("channels,model,precision,atol", [
    ("stack", {}, "single", 1e-6), ("sum", {}, "single", 1e-6), ("stack", {"pool": 7, "span": 3}, "single", 1e-6),
    ("stack", {}, "double", 1e-12), ("sum", {"pool": 7, "span": 3}, "double", 1e-12)])
def test_components_sum_to_the_input(loop, channels, model, precision, atol):
    path, samples = loop
    d = korvane.decompose(path, 4, seed=1, channels=channels, precision=precision, **model)
    parts = d.components()
    assert len(parts) == 4 and parts[0].shape == samples.shape
    np.testing.assert_allclose(sum(parts), samples, rtol=0, atol=atol)
    np.testing.assert_allclose(d.group([0, 2]), parts[0] + parts[2], rtol=0, atol=atol)
    np.testing.assert_array_equal(d.component(3), parts[3])


def test_arrays_are_cut_with_the_files_masks(loop, tmp_path):
    path, samples = loop
    for kw, power in (({"channels": "sum", "pool": 0}, 1.5), ({"channels": "sum", "pool": 0, "plain": True}, 1.0)):
        d = korvane.decompose(path, 3, seed=4, **kw)
        assert d.info["mask_power"] == power
        files = d.save(tmp_path / str(power), format="float")
        assert korvane.load(tmp_path / str(power)).info["mask_power"] == power
        wavs = [f for f in files if f.endswith(".wav")]
        for k, part in enumerate(d.components()):
            want = sounds.read_wav(tmp_path / str(power) / wavs[k])[0]
            np.testing.assert_allclose(part, want, rtol=0, atol=1e-6)


def test_an_array_gives_the_files_decomposition(loop, tmp_path):
    path, samples = loop
    a = korvane.decompose(samples, 4, rate=RATE, seed=5)
    f = korvane.decompose(path, 4, seed=5)
    np.testing.assert_array_equal(a.W, f.W)
    np.testing.assert_array_equal(a.H, f.H)
    mono = korvane.decompose(samples[:, 0], 2, rate=RATE, seed=5)
    assert mono.info["channels"] == 1 and mono.component(0).shape == (len(samples), 1)
    files = a.save(tmp_path / "a")
    rec = record(tmp_path / "a")
    # an array is recorded as a sound without a file: remix needs --input
    assert rec["input"] == "-" and rec["input_absolute"] is None and files[0] == "sound-c01.wav"
    assert rec["file_format"] == "wav-float"


def test_load_and_remix(loop, tmp_path):
    path, _ = loop
    d = korvane.decompose(path, 4, seed=9)
    d.save(tmp_path / "run", groups=[[1, 2]])
    r = korvane.load(tmp_path / "run")
    np.testing.assert_array_equal(r.W, d.W)
    np.testing.assert_array_equal(r.H, d.H)
    np.testing.assert_allclose(r.activations, d.activations, rtol=1e-15)
    assert r.k == 4 and r.info["seed"] == 9
    r.remix([[1, 2]], out=tmp_path / "again")
    a = sounds.read_wav(tmp_path / "run" / "loop-group.wav")[0]
    b = sounds.read_wav(tmp_path / "again" / "loop-group.wav")[0]
    np.testing.assert_array_equal(a, b)


def test_refusals(loop, tmp_path):
    path, samples = loop
    with pytest.raises(OSError, match="nowhere.wav"):
        korvane.decompose(tmp_path / "nowhere.wav")
    (tmp_path / "text.wav").write_text("not a sound")
    with pytest.raises(OSError, match="text.wav"):
        korvane.decompose(tmp_path / "text.wav")
    with pytest.raises(ValueError, match="the analysis was refused.*--win"):
        korvane.decompose(path, win=10)
    for kw, msg in [({"k": 0}, "between 1 and 64"), ({"k": 65}, "between 1 and 64"),
                    ({"channels": "mid"}, "--channels must be sum or stack"),
                    ({"cost": "l1"}, "--cost must be kl, euclidean or is"), ({"span": 0}, "--span must be"),
                    ({"pool": 2, "k": 3}, "--pool must be"), ({"continuity": -1}, "--continuity must be"),
                    ({"order": "loud"}, "--order must be"), ({"start": "svd"}, "--start must be"),
                    ({"hop": 1.5}, "--hop must be"), ({"win": -1}, "--win must be"),
                    ({"iterations": 0}, "--iterations must be"), ({"tol": -1}, "--tol must be"),
                    ({"rate": 8000}, "rate is for an array"), ({"fix_bases": True}, "fix-bases"),
                    ({"precision": "half"}, "precision must be"), ({"relax": 3}, "--relax must be"),
                    ({"relax": "fast"}, "relax must be a number"), ({"bands": "wide"}, "bands must be a number"),
                    ({"bands": -1}, "--bands must be 0 or a frequency"),
                    ({"channel_spectra": "left"}, "--channel-spectra must be"),
                    ({"filter": "wiener"}, "--filter must be spatial or masks")]:
        with pytest.raises(ValueError, match=msg):
            korvane.decompose(path, **kw)
    with pytest.raises(ValueError, match="needs its rate"):
        korvane.decompose(samples)
    with pytest.raises(ValueError, match="whole number"):
        korvane.decompose(samples, rate=22050.5)
    with pytest.raises(ValueError, match="rate must be between 1 and"):
        korvane.decompose(samples, rate=2**40)
    # channels first, as some audio libraries give a stereo sound
    with pytest.raises(ValueError, match=r"this one is 2 x \d+: pass its transpose"):
        korvane.decompose(samples.T, rate=22050)
    holed = samples.copy()
    holed[1000, -1] = np.nan
    with pytest.raises(ValueError, match="not finite numbers, the first at sample 1000"):
        korvane.decompose(holed, rate=22050)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no cast warning on the way to the refusal
        with pytest.raises(ValueError, match="not finite numbers, or beyond"):
            korvane.decompose(np.full((4000, 1), 1e300), rate=22050)
    d = korvane.decompose(path, 3, seed=1, iterations=5)
    with pytest.raises(ValueError, match="--format must be one of"):
        d.save(tmp_path / "x", format="mp3")
    with pytest.raises(ValueError, match="not between 0 and 2"):
        d.component(3)
    with pytest.raises(ValueError, match="not between 0 and 2"):
        d.save(tmp_path / "x", only=[0, 5])
    (tmp_path / "file").write_text("")
    with pytest.raises(OSError):
        d.save(tmp_path / "file" / "under")
    assert not (tmp_path / "x").exists()
    with pytest.raises(ValueError, match="not a components.json"):
        (tmp_path / "bad").mkdir()
        (tmp_path / "bad" / "components.json").write_text("{")
        korvane.load(tmp_path / "bad")


def test_interrupt_stops_a_decomposition_and_progress_sees_its_rounds():
    noise = np.random.default_rng(0).standard_normal((RATE * 20, 2)) * 0.1
    seen = []

    def progress(done, total):
        seen.append((done, total))
        if done == 2:
            threading.Thread(target=_thread.interrupt_main).start()

    with pytest.raises(KeyboardInterrupt):
        korvane.decompose(noise, 8, rate=RATE, iterations=2000, tol=0, progress=progress)
    assert 2 <= len(seen) < 2000 and seen[0] == (1, 2000)
    seen.clear()
    korvane.decompose(noise[:RATE], 2, rate=RATE, tol=0, progress=lambda done, total: seen.append((done, total)))
    assert seen[-1] == (125, 125)  # the default model's rounds: 115 on bands, 10 on every bin
    # a tune, mono: k components leave much of it unexplained, and a pool
    # is factorised after them; a bar goes on through both
    t = np.arange(RATE // 4) / RATE
    tune = np.concatenate([sum(np.sin(2 * np.pi * h * 150 * 2 ** (n / 5) * t) / h for h in range(1, 12))
                           for n in range(10)]) * 0.1

    class Bar:
        total, n = None, 0

        def update(self, step):
            self.n += step

    bar = Bar()
    seen.clear()
    korvane.decompose(tune, 2, rate=RATE, tol=0, progress=lambda done, total: seen.append((done, total)))
    d = korvane.decompose(tune, 2, rate=RATE, tol=0, progress=bar)
    assert seen[-1] == (250, 250) and [x for x, _ in seen] == list(range(1, 251))
    assert bar.n == bar.total == 250 and d.info["pool"] == 8
    # convolutive bases: the default model's rounds, then 50 from them, on one bar
    seen.clear()
    d = korvane.decompose(tune, 2, rate=RATE, tol=0, span=3,
                          progress=lambda done, total: seen.append((done, total)))
    assert seen == [(n, 175) for n in range(1, 176)] and d.info["iterations"] == 175
    # a kit, mono: k components that all rise like hits go on to convolutive
    # bases from their fit, on the same bar
    t = np.arange(RATE * 2) / RATE
    noise = np.random.default_rng(1).standard_normal(t.size) - 0.5
    kit = (0.5 * np.exp(-np.fmod(t, 0.5) / 0.03) * np.sin(2 * np.pi * 70 * t)
           + 0.3 * np.exp(-np.fmod(t + 0.25, 0.5) / 0.015) * noise)
    seen.clear()
    d = korvane.decompose(kit, 2, rate=RATE, tol=0, progress=lambda done, total: seen.append((done, total)))
    assert [x for x, _ in seen] == list(range(1, 176)) and seen[-1] == (175, 175)
    assert d.info["span"] == 6 and d.info["iterations"] == 175


def test_given_bases_as_the_command_line_takes_them(loop, tmp_path):
    path, _ = loop
    cli(path, "-k", 3, "--seed", 4, "--plain", "-o", tmp_path / "first")
    given = tmp_path / "first" / "components.json"
    cli(path, "--bases", given, "--fix-bases", "--extra", 2, "--seed", 4, "-o", tmp_path / "cli")
    d = korvane.decompose(path, bases=[given], fix_bases=True, extra=2, seed=4)
    want = record(tmp_path / "cli")
    assert d.k == 5
    assert_same_factors(d.W, np.reshape(want["factors"]["W"], d.W.shape))
    assert_same_factors(d.H, np.reshape(want["factors"]["H"], d.H.shape))
    first = np.reshape(record(tmp_path / "first")["factors"]["W"], (-1, 3))
    np.testing.assert_array_equal(d.W[:, :3], first)  # held bit for bit
    with pytest.raises(ValueError, match="contradicts"):
        korvane.decompose(path, 6, bases=[given], extra=2)


def test_a_page_of_a_sound_browsers_cannot_play_is_refused(tmp_path):
    slow = korvane.decompose(sounds.tones(2000, 3.0), 2, rate=2000, seed=1, iterations=5)
    with pytest.raises(ValueError, match="browser plays 3000"):
        slow.save(tmp_path / "slow", page=True)
    assert not (tmp_path / "slow").exists()
    assert slow.save(tmp_path / "slow")[-1] == "components.json"


def test_save_writes_nothing_when_the_input_changed_since(tmp_path):
    path = tmp_path / "changing.wav"
    sounds.write_pcm16(path, sounds.tones(RATE), RATE)
    d = korvane.decompose(path, 2, seed=1, iterations=5)
    sounds.write_pcm16(path, 0.5 * sounds.tones(RATE), RATE)
    with pytest.raises(OSError, match="changed while it was decomposed"):
        d.save(tmp_path / "out")
    assert not (tmp_path / "out").exists()


def test_a_wav_cut_short_warns_as_the_command_line_does(loop, tmp_path):
    path, _ = loop
    data = path.read_bytes()
    cut = tmp_path / "cut.wav"
    cut.write_bytes(data[:len(data) // 2])
    with pytest.warns(RuntimeWarning, match="cut.wav"):
        d = korvane.decompose(cut, 2, seed=1, iterations=5)
    assert d.info["length"] < len(sounds.tones(RATE))
