"""A saved sharded store: one index file per shard (the format of
docs/file-format.md) and ``manifest.json`` naming them.

Each save writes its shard files under fresh names, then the manifest, each
replaced atomically, and only then removes the previous save's files, so a
save that fails half-way leaves the previous one loadable."""

from __future__ import annotations

import contextlib
import json
import os
import uuid
from collections.abc import Sequence
from typing import Any

from .. import __version__
from .._index_core import write_file_atomically

_MANIFEST = "manifest.json"
_FORMAT = "velmora sharded store"


def _write_store(directory: str | os.PathLike[str], dim: int, bits: int, shards: Sequence[tuple[bytes, int]]) -> None:
    """Writes each shard's (index file contents, count) and the manifest into
    an existing `directory`, then removes the files of the save it replaces."""
    tag = uuid.uuid4().hex[:12]
    files = [f"shard-{i:04d}-{tag}.vidx" for i in range(len(shards))]
    for name, (data, _) in zip(files, shards):
        write_file_atomically(os.fsencode(os.path.join(directory, name)), data)
    manifest_path = os.path.join(directory, _MANIFEST)
    previous = _files_of_previous_save(manifest_path)
    manifest = {
        "format": _FORMAT,
        "version": 1,
        "dim": dim,
        "bits": bits,
        "shards": len(shards),
        "routing": "splitmix64",
        "velmora": __version__,
        "files": files,
        "counts": [count for _, count in shards],
    }
    write_file_atomically(os.fsencode(manifest_path), (json.dumps(manifest, indent=2) + "\n").encode())
    for name in previous:
        if name not in files:
            with contextlib.suppress(OSError):
                os.remove(os.path.join(directory, name))


def _files_of_previous_save(path: str) -> list[str]:
    """The files a previous save wrote, or none if there is no readable manifest."""
    try:
        return list(_load_manifest(path)["files"])
    except (OSError, ValueError):
        return []


def _load_manifest(path: str) -> dict[str, Any]:
    """The manifest at `path`, checked: ValueError names what is wrong with it."""
    with open(path, "rb") as f:
        raw = f.read()
    try:
        manifest = json.loads(raw)
    except ValueError as exc:
        raise ValueError(f"{path}: not a sharded store manifest ({exc})") from None
    if not isinstance(manifest, dict) or manifest.get("format") != _FORMAT:
        raise ValueError(f"{path}: not a sharded store manifest")
    if manifest.get("version") != 1:
        raise ValueError(f"{path}: manifest version {manifest.get('version')!r} is not supported (1 is)")
    shards, files = manifest.get("shards"), manifest.get("files")
    if (
        not isinstance(shards, int)
        or isinstance(shards, bool)
        or shards < 1
        or not isinstance(files, list)
        or len(files) != shards
        or manifest.get("routing") != "splitmix64"
        or not all(isinstance(n, str) and n and os.path.basename(n) == n and not n.startswith(".") for n in files)
    ):
        raise ValueError(f"{path}: inconsistent manifest (shards, files or routing)")
    for key in ("dim", "bits"):
        if not isinstance(manifest.get(key), int) or isinstance(manifest.get(key), bool):
            raise ValueError(f"{path}: manifest has no integer {key}")
    return manifest


def _read_shard_file(directory: str | os.PathLike[str], name: str) -> bytes:
    with open(os.path.join(directory, name), "rb") as f:
        return f.read()
