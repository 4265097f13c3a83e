"""velmora.show_config(): the report of how velmora was built and what it
chose on this machine, checked against what the process was told."""

import json
import os
import subprocess
import sys

import pytest

import velmora

KERNELS = {"scalar", "avx2-permute", "avx2-planes", "avx512-permute", "avx512-planes", "neon-permute", "neon-planes"}


def config_in_child(**env):
    code = "import json, velmora; print(json.dumps(velmora.show_config('dict')))"
    done = subprocess.run(
        [sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=120, env={**os.environ, **env}
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_report_fields_describe_this_build_and_machine(capsys):
    config = velmora.show_config("dict")
    assert config["version"] == velmora.__version__
    # Floating point is part of the contract: the recorded flags must show it.
    assert "-ffp-contract=off" in config["flags"].split()
    assert "-ffast-math" not in config["flags"].split()
    with open("/proc/cpuinfo") as f:
        models = [line.split(":", 1)[1].strip() for line in f if line.startswith("model name")]
    assert config["cpu"] == (models[0] if models else "unknown")
    assert set(config["exact_kernels"]) == {2, 3, 4} and set(config["exact_kernels"].values()) <= KERNELS
    assert config["threads"] >= 1
    families = config["kernels"]
    assert set(families) == {"exact_2", "exact_3", "exact_4", "bound", "group_bound", "rotation", "quantizer", "crc32c"}
    assert {families[f"exact_{bits}"]["chosen"] for bits in (2, 3, 4)} == set(config["exact_kernels"].values())
    for name, family in families.items():
        assert [c["name"] for c in family["candidates"] if c["chosen"]] == [family["chosen"]], name
        for c in family["candidates"][:-1]:  # the portable kernel, last, is the yardstick
            assert (c["self_test"] is not None) == c["allowed"] and c["allowed"] <= c["supported"], (name, c)
            assert (c["median_seconds"] is not None) == (c["self_test"] is True), (name, c)

    assert velmora.show_config() is None
    printed = capsys.readouterr().out
    assert printed.startswith(f"velmora {velmora.__version__}\n")
    assert config["cpu"] in printed and config["flags"] in printed
    assert f"crc32c {families['crc32c']['chosen']}" in printed
    summary = velmora.show_config("summary")
    assert "\n" not in summary and velmora.__version__ in summary and config["simd_active"] in summary
    with pytest.raises(ValueError, match="mode must be"):
        velmora.show_config("json")  # type: ignore[call-overload]


@pytest.mark.parametrize(
    "level, kernels, bound",
    [
        ("scalar", {"scalar"}, {"scalar-bound"}),
        ("reference", {"reference (entry by entry)"}, {"none (scores every vector exactly)"}),
    ],
)
def test_forced_level_and_thread_count_are_reported(level, kernels, bound):
    config = config_in_child(VELMORA_SIMD=level, RAYON_NUM_THREADS="3")
    assert config["simd_active"] == level and config["simd_requested"] == level
    assert set(config["exact_kernels"].values()) == kernels
    assert set(config["bound_kernels"].values()) == set(config["group_bound_kernels"].values()) == bound
    assert (config["threads"], config["threads_source"]) == (3, "RAYON_NUM_THREADS")
    # Nothing that needs AVX2 or AVX-512 may run at a level below them.
    families = config["kernels"]
    assert families["rotation"]["chosen"] == families["quantizer"]["chosen"] == "scalar"
    assert not any(c["allowed"] for f in families.values() for c in f["candidates"] if "avx" in c["needs"])


def test_thread_count_without_variables_is_the_logical_cpus():
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    code = "import json, velmora; print(json.dumps(velmora.show_config('dict')))"
    done = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=120, env=env)
    config = json.loads(done.stdout)
    assert config["threads"] == len(os.sched_getaffinity(0)) and config["threads_source"] == "logical CPUs"
