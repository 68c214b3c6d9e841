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


def assert_same_model(a, b):
    assert a.get_nodes() == b.get_nodes()
    assert a.get_connections() == b.get_connections()
    assert a.size == b.size == len(b.get_nodes())


@pytest.mark.parametrize("shape", [(2, 1), (3, 2, 7), (1, 3, 6)])
def test_loaded_model_equals_saved_one(tmp_path, shape):
    model = kestrin.Model(*shape)
    path = str(tmp_path / "model.kn")
    assert model.save(path) is None
    loaded = kestrin.load(path)
    assert type(loaded) is kestrin.Model
    assert_same_model(model, loaded)
    x = np.random.default_rng(1).normal(size=(8, shape[0]))
    np.testing.assert_array_equal(model.predict(x), loaded.predict(x))
    assert loaded.predict(x).shape == (8, shape[1])


def test_file_layout_of_the_smallest_model(tmp_path):
    model = kestrin.Model(2, 1)
    path = tmp_path / "net.kn"
    model.save(str(path))
    data = path.read_bytes()
    assert len(data) == 80
    assert struct.unpack_from("<3i", data, 0) == (3, 2, 1)
    nodes = model.get_nodes()
    assert struct.unpack_from("<3d", data, 12) == tuple(n["bias"] for _, n in nodes)
    names = ["sigmoid", "tanh", "relu", "linear"]
    assert [names[i] for i in struct.unpack_from("<3i", data, 36)] == [n["activation"] for _, n in nodes]
    weights = {(f, t): c["weight"] for f, t, c in model.get_connections()}
    assert struct.unpack_from("<iid", data, 48) == (0, 2, weights[0, 2])
    assert struct.unpack_from("<iid", data, 64) == (1, 2, weights[1, 2])


def test_empty_model_is_a_bare_header(tmp_path):
    path = tmp_path / "empty"
    kestrin.Model(0, 0).save(str(path))
    assert path.read_bytes() == struct.pack("<3i", 0, 0, 0)
    loaded = kestrin.load(str(path))
    assert loaded.size == 0 and loaded.get_nodes() == [] and loaded.get_connections() == []


def test_path_is_used_exactly_and_overwritten(tmp_path):
    path = tmp_path / "net"
    kestrin.Model(3, 2, 9).save(str(path))
    big = path.read_bytes()
    small = kestrin.Model(1, 1)
    small.save(str(path))
    assert os.listdir(tmp_path) == ["net"]
    data = path.read_bytes()
    assert len(data) == 12 + 12 * 2 + 16 < len(big)
    # Save, load, save gives the same bytes.
    kestrin.load(str(path)).save(str(tmp_path / "again"))
    assert (tmp_path / "again").read_bytes() == data


def test_relative_path_is_resolved_against_the_working_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    kestrin.Model(2, 1).save("relative.kn")
    assert (tmp_path / "relative.kn").stat().st_size == 80
    assert kestrin.load("relative.kn").size == 3


def test_saving_leaves_the_model_as_it_was_and_loading_is_not_compiled(tmp_path):
    model = kestrin.Model(2, 2, 5)
    model.compile(loss="mse")
    before = (model.get_nodes(), model.get_connections())
    model.save(str(tmp_path / "m.kn"))
    assert (model.get_nodes(), model.get_connections()) == before
    x, y = np.zeros((2, 2)), np.zeros((2, 2))
    assert len(model.evaluate(x, y)) == 1
    loaded = kestrin.load(str(tmp_path / "m.kn"))
    with pytest.raises(RuntimeError, match="You must compile your model before evaluating"):
        loaded.evaluate(x, y)
    loaded.compile(loss="mse")
    assert loaded.evaluate(x, y) == model.evaluate(x, y)


def test_size_attribute_of_a_loaded_model_follows_the_file(tmp_path):
    model = kestrin.Model(2, 1, 6)
    model.size = 99  # the mirror is not what is saved
    model.save(str(tmp_path / "m.kn"))
    assert kestrin.load(str(tmp_path / "m.kn")).size == 6


def test_arguments_are_one_str(tmp_path):
    model = kestrin.Model(2, 1)
    with pytest.raises(TypeError):
        model.save(pathlib.Path(tmp_path / "m.kn"))
    with pytest.raises(TypeError):
        model.save(path=str(tmp_path / "m.kn"))
    with pytest.raises(TypeError):
        model.save()
    with pytest.raises(ValueError):
        model.save(str(tmp_path / "m\0.kn"))
    with pytest.raises(TypeError):
        kestrin.load(3)
    with pytest.raises(ValueError):
        kestrin.load("a\0b")
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
    # A parent that is a file refuses even root.
    inside = str(blocker / "m.kn")
    with pytest.raises(NotADirectoryError) as error:
        model.save(inside)
    assert error.value.filename == inside
    with pytest.raises(FileNotFoundError):
        model.save(str(tmp_path / "no" / "m.kn"))
    with pytest.raises(IsADirectoryError):
        model.save(str(tmp_path))
    assert blocker.read_bytes() == b"keep"
    assert os.listdir(tmp_path) == ["file"]


@pytest.mark.skipif(os.geteuid() == 0, reason="permissions do not bind root")
def test_read_only_places_are_refused(tmp_path):
    model = kestrin.Model(2, 1)
    locked = tmp_path / "locked.kn"
    model.save(str(locked))
    before = locked.read_bytes()
    locked.chmod(0o444)
    with pytest.raises(PermissionError):
        kestrin.Model(3, 3).save(str(locked))
    assert locked.read_bytes() == before
    directory = tmp_path / "ro"
    directory.mkdir()
    directory.chmod(0o555)
    try:
        with pytest.raises(PermissionError):
            model.save(str(directory / "m.kn"))
        assert os.listdir(directory) == []
    finally:
        directory.chmod(0o755)


def good_file(tmp_path):
    path = tmp_path / "good.kn"
    kestrin.Model(2, 1, 5).save(str(path))
    return path.read_bytes()


RECORDS = 12 + 12 * 5


@pytest.mark.parametrize(
    "edit, words",
    [
        (lambda d: d[:7], "7 bytes, too few for the 12-byte header"),
        (lambda d: struct.pack("<i", -5) + d[4:], "negative count"),
        (lambda d: d[:8] + struct.pack("<i", -1) + d[12:], "negative count"),
        (lambda d: d[:4] + struct.pack("<i", 5) + d[8:], "smaller than inputs + outputs"),
        (lambda d: struct.pack("<3i", 2**31 - 1, 2**31 - 1, 2**31 - 1) + d[12:], "smaller than inputs + outputs"),
        (lambda d: d[: 12 + 8 * 5 + 4 * 2], "before the end of its 5 biases and activation ids at byte 72"),
        (lambda d: struct.pack("<i", 2**31 - 1) + d[4:], "before the end of its 2147483647 biases"),
        (lambda d: d[:RECORDS] + struct.pack("<ii", 0, 5) + d[RECORDS + 8 :], "joins node 0 to node 5, outside 0..4"),
        (lambda d: d[:RECORDS] + struct.pack("<ii", -3, 2) + d[RECORDS + 8 :], "joins node -3 to node 2"),
        (lambda d: d + b"\x01" * 15, "partial connection record of 15 bytes"),
    ],
)
def test_damaged_file_raises_valueerror_naming_file_and_defect(tmp_path, edit, words):
    path = tmp_path / "bad.kn"
    write(path, edit(good_file(tmp_path)))
    with pytest.raises(ValueError) as error:
        kestrin.load(str(path))
    assert str(path) in str(error.value)
    assert words in str(error.value)


def test_size_too_large_to_allocate_is_memoryerror(tmp_path):
    nodes = 1_000_000  # 10^12 weights: more than any test machine holds
    path = tmp_path / "huge.kn"
    with open(path, "wb") as f:
        f.write(struct.pack("<3i", nodes, 1, 1))
        f.truncate(12 + 12 * nodes)  # sparse: the biases and ids read as zeros
    with pytest.raises(MemoryError):
        kestrin.load(str(path))


def test_random_damage_ends_in_a_model_or_valueerror(tmp_path):
    rng = random.Random(20261208)
    base = bytearray(good_file(tmp_path))
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
        # Whatever came back is a usable model.
        assert model.size == len(model.get_nodes())
        model.get_connections()
        model.predict(np.zeros((1, model.size)))
    assert outcomes["model"] > 100 and outcomes["error"] > 100
