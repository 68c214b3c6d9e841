# The byte layout and the reader's checks are tested in the C++ suite; these
# tests cover what the Python layer adds: models, arguments and exceptions.
import os
import pathlib
import random
import struct

import numpy as np
import pytest

import kestrin


def write(path, data):
    # Overwrite in place and cut to length: truncating to zero first makes some
    # file systems flush on close, which is slow for thousands of fuzzed files.
    fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o644)
    try:
        os.write(fd, data)
        os.ftruncate(fd, len(data))
    finally:
        os.close(fd)


@pytest.mark.parametrize("shape", [(3, 2, 7), (0, 0)])
def test_loaded_model_equals_saved_one_and_is_not_compiled(tmp_path, shape):
    model = kestrin.Model(*shape)
    model.compile(loss="mse")
    model.size = 99  # only the mirror; the file holds the network
    path = str(tmp_path / "model.kn")
    assert model.save(path) is None
    loaded = kestrin.load(path)
    assert type(loaded) is kestrin.Model
    assert loaded.get_nodes() == model.get_nodes()
    assert loaded.get_connections() == model.get_connections()
    assert loaded.size == len(model.get_nodes())
    x = np.random.default_rng(1).normal(size=(8, shape[0]))
    np.testing.assert_array_equal(loaded.predict(x), model.predict(x))
    y = np.zeros((8, shape[1]))
    with pytest.raises(RuntimeError, match="You must compile your model before evaluating"):
        loaded.evaluate(x, y)
    assert len(model.evaluate(x, y)) == 1


def test_path_is_used_exactly_and_overwritten(tmp_path):
    path = tmp_path / "net"
    kestrin.Model(3, 2, 9).save(str(path))
    kestrin.Model(2, 1).save(str(path))
    assert os.listdir(tmp_path) == ["net"]
    data = path.read_bytes()
    assert len(data) == 80 and struct.unpack_from("<3i", data) == (3, 2, 1)
    kestrin.load(str(path)).save(str(tmp_path / "again"))
    assert (tmp_path / "again").read_bytes() == data


def test_arguments_are_one_str(tmp_path):
    model = kestrin.Model(2, 1)
    for call in (lambda: model.save(pathlib.Path(tmp_path / "m.kn")), lambda: model.save(path="m.kn"),
                 model.save, lambda: kestrin.load(3)):
        with pytest.raises(TypeError):
            call()
    for call in (lambda: model.save(str(tmp_path / "m\0.kn")), lambda: kestrin.load("a\0b")):
        with pytest.raises(ValueError):
            call()
    assert os.listdir(tmp_path) == []


def test_unusable_paths_raise_oserror_with_the_path(tmp_path):
    model = kestrin.Model(2, 1)
    missing = str(tmp_path / "missing.kn")
    with pytest.raises(FileNotFoundError) as error:
        kestrin.load(missing)
    assert error.value.filename == missing and error.value.errno == 2
    with pytest.raises(IsADirectoryError):
        kestrin.load(str(tmp_path))
    blocker = tmp_path / "file"
    blocker.write_bytes(b"keep")
    inside = str(blocker / "m.kn")  # a parent that is a file refuses even root
    with pytest.raises(NotADirectoryError) as error:
        model.save(inside)
    assert error.value.filename == inside
    with pytest.raises(IsADirectoryError):
        model.save(str(tmp_path))
    assert blocker.read_bytes() == b"keep"
    assert os.listdir(tmp_path) == ["file"]


def test_size_too_large_to_allocate_is_memoryerror(tmp_path):
    nodes = 1_000_000  # 10^12 weights: more than any test machine holds
    path = tmp_path / "huge.kn"
    with open(path, "wb") as f:
        f.write(struct.pack("<3i", nodes, 1, 1))
        f.truncate(12 + 12 * nodes)  # sparse: the biases and ids read as zeros
    with pytest.raises(MemoryError):
        kestrin.load(str(path))


def test_damaged_files_end_in_a_usable_model_or_valueerror(tmp_path):
    good = tmp_path / "good.kn"
    kestrin.Model(2, 1, 5).save(str(good))
    base = good.read_bytes()
    path = str(tmp_path / "bad.kn")
    write(path, base + b"\x01" * 15)
    with pytest.raises(ValueError) as error:
        kestrin.load(path)
    assert path in str(error.value) and "partial connection record of 15 bytes" in str(error.value)

    rng = random.Random(20261208)
    outcomes = {"model": 0, "error": 0}
    for _ in range(2000):
        data = bytearray(base)
        for _ in range(rng.randint(1, 4)):
            kind = rng.randrange(3)
            if kind == 0 and data:
                data[rng.randrange(len(data))] = rng.randrange(256)
            elif kind == 1:
                del data[rng.randrange(len(data) + 1) :]
            else:
                data += bytes(rng.randrange(256) for _ in range(rng.randrange(40)))
        write(path, bytes(data))
        try:
            model = kestrin.load(path)
        except ValueError:
            outcomes["error"] += 1
            continue
        outcomes["model"] += 1
        assert model.size == len(model.get_nodes())
        model.get_connections()
        model.predict(np.zeros((1, model.size)))
    assert outcomes["model"] > 100 and outcomes["error"] > 100
