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


@pytest.mark.parametrize("shape", [(2, 1), (3, 2, 7), (0, 0)])
def test_loaded_model_equals_saved_one(tmp_path, shape):
    model = kestrin.Model(*shape)
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


def test_path_is_used_exactly_and_overwritten(tmp_path):
    path = tmp_path / "net"
    kestrin.Model(3, 2, 9).save(str(path))
    kestrin.Model(2, 1).save(str(path))
    assert os.listdir(tmp_path) == ["net"]
    data = path.read_bytes()
    assert len(data) == 80 and struct.unpack_from("<3i", data) == (3, 2, 1)
    kestrin.load(str(path)).save(str(tmp_path / "again"))
    assert (tmp_path / "again").read_bytes() == data


def test_saving_leaves_the_model_as_it_was_and_loading_is_not_compiled(tmp_path):
    model = kestrin.Model(2, 2, 5)
    model.compile(loss="mse")
    before = (model.get_nodes(), model.get_connections())
    model.save(str(tmp_path / "m.kn"))
    assert (model.get_nodes(), model.get_connections()) == before
    x, y = np.zeros((2, 2)), np.zeros((2, 2))
    loaded = kestrin.load(str(tmp_path / "m.kn"))
    with pytest.raises(RuntimeError, match="You must compile your model before evaluating"):
        loaded.evaluate(x, y)
    loaded.compile(loss="mse")
    assert loaded.evaluate(x, y) == model.evaluate(x, y)


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


@pytest.mark.skipif(os.geteuid() == 0, reason="permissions do not bind root")
def test_read_only_places_are_refused(tmp_path):
    locked = tmp_path / "locked.kn"
    kestrin.Model(2, 1).save(str(locked))
    before = locked.read_bytes()
    locked.chmod(0o444)
    with pytest.raises(PermissionError):
        kestrin.Model(3, 3).save(str(locked))
    assert locked.read_bytes() == before


def good_file(tmp_path):
    path = tmp_path / "good.kn"
    kestrin.Model(2, 1, 5).save(str(path))
    return path.read_bytes()


@pytest.mark.parametrize(
    "edit, words",
    [
        (lambda d: d[:7], "too few for the 12-byte header"),
        (lambda d: d[:8] + struct.pack("<i", -1) + d[12:], "negative count"),
        (lambda d: d[:72] + struct.pack("<ii", 0, 5) + d[80:], "joins node 0 to node 5, outside 0..4"),
        (lambda d: d + b"\x01" * 15, "partial connection record of 15 bytes"),
    ],
)
def test_damaged_file_raises_valueerror_naming_file_and_defect(tmp_path, edit, words):
    path = tmp_path / "bad.kn"
    write(path, edit(good_file(tmp_path)))
    with pytest.raises(ValueError) as error:
        kestrin.load(str(path))
    assert str(path) in str(error.value) and words in str(error.value)


def test_size_too_large_to_allocate_is_memoryerror(tmp_path):
    nodes = 1_000_000  # 10^12 weights: more than any test machine holds
    path = tmp_path / "huge.kn"
    with open(path, "wb") as f:
        f.write(struct.pack("<3i", nodes, 1, 1))
        f.truncate(12 + 12 * nodes)  # sparse: the biases and ids read as zeros
    with pytest.raises(MemoryError):
        kestrin.load(str(path))


def test_random_damage_ends_in_a_usable_model_or_valueerror(tmp_path):
    rng = random.Random(20261208)
    base = good_file(tmp_path)
    path = str(tmp_path / "fuzz.kn")
    outcomes = {"model": 0, "error": 0}
    for _ in range(3000):
        data = bytearray(base)
        for _ in range(rng.randint(1, 4)):
            kind = rng.randrange(4)
            if kind == 0 and data:
                data[rng.randrange(len(data))] = rng.randrange(256)
            elif kind == 1 and data:
                data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
            elif kind == 2:
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
