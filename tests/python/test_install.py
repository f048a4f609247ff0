"""`cmake --install` of the tree into a prefix, then the installed
package imported from another folder."""

import os
import subprocess
import sys

import sounds

BUILD = os.environ["KV_BUILD_DIR"]
RELDIR = os.environ["KV_PYTHON_INSTALL_DIR"]


def test_installed_module_imports_from_another_folder(tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run([os.environ["KV_CMAKE"], "--install", BUILD, "--prefix", str(prefix)],
                   check=True, stdout=subprocess.DEVNULL)
    site = prefix / RELDIR
    assert (site / "korvane" / "__init__.py").is_file() and (site / "korvane" / "py.typed").is_file()
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["PYTHONPATH"] = str(site)
    sounds.write_pcm16(elsewhere / "loop.wav", sounds.tones(), 22050)
    code = ("import korvane, numpy as np; "
            "W, H, info = korvane.nmf(np.ones((4, 6)), 2, seed=1, iterations=5); "
            "print(korvane.__file__); print(korvane.__version__, info['iterations']); "
            "print(korvane.decompose('loop.wav', k=6).energy_share.sum())")
    out = subprocess.run([sys.executable, "-c", code], cwd=elsewhere, env=env, check=True, capture_output=True,
                         text=True).stdout.split("\n")
    assert out[0].startswith(str(site))
    assert out[1] == f"{os.environ['KV_VERSION']} 5"
    assert abs(float(out[2]) - 1) < 1e-12


def test_version_is_the_command_lines():
    import korvane
    out = subprocess.run([os.environ["KORVANE_EXE"], "--version"], check=True, capture_output=True, text=True)
    assert korvane.__version__ in out.stdout.split()
