"""The demo command: its report, its determinism and its refusals.

Each run is a fresh interpreter, started outside the source tree so that the
installed package (with its native module) is the one imported, and so that
the worker pool is sized by the run's own options.
"""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

SMALL = ["--n", "3000", "--dim", "48", "--queries", "30"]


def demo(tmp_path, *args, env=None, code=None):
    command = [sys.executable, "-P"]
    command += ["-c", code] if code else ["-m", "velmora"]
    return subprocess.run(
        command + list(args),
        cwd=tmp_path,
        capture_output=True,
        text=True,
        env={**os.environ, **(env or {})},
        timeout=300,
    )


def report_line(output, label):
    (line,) = [line for line in output.splitlines() if line.startswith(label)]
    return line


@pytest.mark.parametrize("bits", [2, 3, 4])
def test_report_counts_memory_exactly_and_finds_neighbours(tmp_path, bits):
    run = demo(tmp_path, *SMALL, "--bits", str(bits))
    assert run.returncode == 0, run.stderr
    n, dim = 3000, 48
    per_vector = (dim * bits + 7) // 8 + 6
    memory = report_line(run.stdout, "memory")
    assert (
        f"{per_vector} bytes per vector ({per_vector - 6} code bytes + a 4-byte norm + a 2-byte error bound" in memory
    )
    # KB as the index's repr counts them: 1,024 bytes.
    assert f"{n * per_vector / 1024:,.1f} KB compressed" in memory
    assert f"memory={n * per_vector / 1024:.1f}KB)" in run.stdout
    assert f"{dim * 4:,} bytes per vector, {dim * 4 / per_vector:.1f}x more" in run.stdout
    compressed, reranked, exact = map(float, re.findall(r"\b\d\.\d{3}\b", report_line(run.stdout, "recall@10"))[:3])
    assert 0.3 < compressed <= reranked <= exact == 1.0
    assert "the true top 10 on 30 of 30 queries" in report_line(run.stdout, "exact")
    assert re.search(
        r"^latency +ms per query, one query \| in one search of all: compressed \d+\.\d{3} \| "
        r"\d+\.\d{3} \| re-ranked \d+\.\d{3} \| \d+\.\d{3} \| exact \d+\.\d{3} \| \d+\.\d{3}$",
        run.stdout,
        re.M,
    )
    assert f"Index(dim={dim}, bits={bits}, n={n}," in run.stdout
    assert re.search(r"^engine: velmora \S+ \| .* \| \d+ threads$", run.stdout, re.M)
    assert "inserting: 100%" in run.stderr and "querying: 100%" in run.stderr


def test_tiny_store_ranks_everything_it_has(tmp_path):
    # Fewer vectors than the usual ten neighbours: recall is taken at n.
    run = demo(tmp_path, "--n", "4", "--dim", "32", "--queries", "3")
    assert run.returncode == 0, run.stderr
    assert report_line(run.stdout, "recall@4").split()[1] == "1.000"
    assert "the true top 4 on 3 of 3 queries" in run.stdout


def digest(run):
    assert run.returncode == 0, run.stderr
    return report_line(run.stdout, "digest").split()[1], report_line(run.stdout, "recall@10")


def test_results_do_not_depend_on_threads_or_simd_level(tmp_path):
    single = demo(tmp_path, *SMALL, "--threads", "1")
    assert "1 worker thread (RAYON_NUM_THREADS)" in single.stdout
    one = digest(single)
    assert digest(demo(tmp_path, *SMALL, "--threads", "3")) == one
    assert digest(demo(tmp_path, *SMALL, env={"VELMORA_SIMD": "scalar"})) == one
    other_seed = digest(demo(tmp_path, *SMALL, "--seed", "1"))
    assert other_seed[0] != one[0]


def test_pool_size_comes_from_the_environment_unless_given(tmp_path):
    run = demo(
        tmp_path, "--n", "1", "--dim", "32", "--queries", "1", env={"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "5"}
    )
    assert "5 worker threads (RAYON_RS_NUM_CPUS)" in run.stdout
    run = demo(tmp_path, "--n", "1", "--dim", "32", "--queries", "1", "--threads", "2", env={"RAYON_NUM_THREADS": "7"})
    assert "2 worker threads (RAYON_NUM_THREADS)" in run.stdout


@pytest.mark.parametrize(
    "args, message",
    [
        (["--dim", "31"], "argument --dim: must be at least 32"),
        (["--bits", "5"], "argument --bits: invalid choice: 5"),
        (["--bits", "four"], "argument --bits: expected a whole number, got 'four'"),
        (["--n", "0"], "argument --n: must be at least 1, got 0"),
        (["--n", "-3"], "argument --n: must be at least 1, got -3"),
        (["--n", "1.5"], "argument --n: expected a whole number, got '1.5'"),
        (["--threads", "0"], "argument --threads: must be at least 1, got 0"),
        (["--queries", "0"], "argument --queries: must be at least 1, got 0"),
        (["--seed", "-1"], "argument --seed: must be 0 or more, got -1"),
        (["--size", "10"], "unrecognized arguments: --size 10"),
        (["--data", "missing.npy"], "argument --data: no such file: 'missing.npy'"),
        (["--n", "10_000_000_000"], "choose a smaller --n or --dim"),
        (["--dim", "1000000"], "choose a smaller --n or --dim"),
    ],
)
def test_bad_options_are_refused_with_a_message(tmp_path, args, message):
    run = demo(tmp_path, *args)
    assert run.returncode == 2
    assert message in run.stderr
    assert "usage: python -m velmora" in run.stderr
    assert "Traceback" not in run.stderr
    assert run.stdout == ""


@pytest.mark.parametrize("blocked", ["numpy", "tqdm"])
def test_missing_dependency_names_the_install_command(tmp_path, blocked):
    # A None entry in sys.modules makes the import fail as if not installed.
    code = f"import sys; sys.modules[{blocked!r}] = None; from velmora._demo import main; sys.exit(main())"
    run = demo(tmp_path, "--n", "10", code=code)
    assert run.returncode == 1
    assert f"{blocked} is not installed" in run.stderr
    assert f"{sys.executable} -m pip install 'numpy>=1.26' 'tqdm>=4.66'" in run.stderr
    assert "Traceback" not in run.stderr


def test_console_script_runs_the_demo(tmp_path):
    script = Path(sys.executable).parent / "velmora-demo"
    run = subprocess.run(
        [script, "--n", "200", "--dim", "32", "--queries", "5"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stderr
    assert "recall@10" in run.stdout
    refused = subprocess.run([script, "--bits", "1"], capture_output=True, text=True)
    assert refused.returncode == 2
    assert "usage: velmora-demo" in refused.stderr


def test_own_vectors_are_reported_at_every_width(tmp_path):
    rng = __import__("numpy").random.default_rng(4)
    path = tmp_path / "vectors.npy"
    __import__("numpy").save(path, rng.standard_normal((600, 40)))
    run = demo(tmp_path, "--data", str(path), "--queries", "12")
    assert run.returncode == 0, run.stderr
    assert "588 vectors of" in run.stdout and "dim 40, 2/3/4 bits" in run.stdout
    for bits in (2, 3, 4):
        assert f"\n{bits} bits: built the rotation" in run.stdout
        assert f"Index(dim=40, bits={bits}, n=588," in run.stdout
    assert run.stdout.count("the true top 10 on 12 of 12 queries") == 3
    (tmp_path / "ints.npy").write_bytes(b"")
    __import__("numpy").save(tmp_path / "ints.npy", rng.integers(0, 9, (50, 40)))
    refused = demo(tmp_path, "--data", "ints.npy")
    assert refused.returncode == 1 and "float32 or float64 rows are needed" in refused.stderr
