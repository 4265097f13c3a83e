"""velmora.show_config(): what this velmora was built with and runs on."""

from __future__ import annotations

import os
from typing import Any, Literal, overload

from ._version import __version__

__all__ = ["show_config"]


def _config() -> dict[str, Any]:
    from ._index_core import engine_config

    config = engine_config()
    config["version"] = __version__
    config["logical_cpus"] = os.cpu_count()
    return config


def _simd(config: dict[str, Any]) -> str:
    active, detected, requested = config["simd_active"], config["simd_detected"], config["simd_requested"]
    if requested:
        return f"{active} (VELMORA_SIMD={requested}; this CPU supports {detected})"
    return f"{active} (the best this CPU supports)"


def _kernels(config: dict[str, Any]) -> list[str]:
    families = config["kernels"]
    return [
        f"{bits} bits: exact {config['exact_kernels'][bits]}, bound {config['bound_kernels'][bits]}, "
        f"for query groups {config['group_bound_kernels'][bits]}"
        for bits in (2, 3, 4)
    ] + [", ".join(f"{family} {families[family]['chosen']}" for family in ("rotation", "quantizer", "crc32c"))]


def _summary(config: dict[str, Any]) -> str:
    exact = "/".join(config["exact_kernels"][bits] for bits in (2, 3, 4))
    return (
        f"velmora {config['version']} | {config['cpu']} | {config['simd_active']} | "
        f"exact kernels for 2/3/4 bits {exact} | {config['threads']} threads"
    )


def _report(config: dict[str, Any]) -> str:
    lines = [
        f"velmora {config['version']}",
        f"  compiler:  {config['compiler']} ({config['build_type']})",
        f"  flags:     {config['flags']}",
        f"  cpu:       {config['cpu']}, {config['logical_cpus']} logical CPUs",
        f"  simd:      {_simd(config)}",
    ]
    kernels = _kernels(config)
    lines.append(f"  kernels:   {kernels[0]}")
    lines += [f"             {line}" for line in kernels[1:]]
    lines.append(f"  threads:   {config['threads']} (from {config['threads_source']})")
    return "\n".join(lines)


@overload
def show_config(mode: Literal["stdout"] = "stdout") -> None: ...
@overload
def show_config(mode: Literal["dict"]) -> dict[str, Any]: ...
@overload
def show_config(mode: Literal["summary"]) -> str: ...
def show_config(mode: str = "stdout") -> dict[str, Any] | str | None:
    """Describe this velmora: its version, the compiler and flags it was built
    with, the CPU, the SIMD level in use, the scoring kernels chosen for each
    bit width and the rotation, quantizer and CRC-32C kernels, and the number
    of worker threads.

    mode "stdout" prints the report; "dict" returns its fields ("kernels"
    lists every kernel family's candidates: whether the CPU supports each,
    whether it passed its self-test, its median time, which was chosen);
    "summary" returns it as one line. The first call times the kernels (a few
    milliseconds) and starts the worker pool, whose size is then fixed.
    """
    if mode not in ("stdout", "dict", "summary"):
        raise ValueError(f"mode must be 'stdout', 'dict' or 'summary', got {mode!r}")
    config = _config()
    if mode == "dict":
        return config
    if mode == "summary":
        return _summary(config)
    print(_report(config))
    return None
