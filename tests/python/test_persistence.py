# The byte layout, the reader's checks and random damage are tested in the C++
# suite; these tests cover what the Python layer adds: models, arguments and
# exceptions.
import os
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

import kestrin


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
    # os.PathLike is taken (test_ecosystem.py); bytes are not.
    for call in (lambda: model.save(bytes(tmp_path / "m.kn")), lambda: model.save(path="m.kn"),
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


def test_a_damaged_file_raises_valueerror_naming_the_file(tmp_path):
    path = tmp_path / "bad.kn"
    kestrin.Model(2, 1, 5).save(str(path))
    path.write_bytes(path.read_bytes() + b"\x01" * 15)
    with pytest.raises(ValueError) as error:
        kestrin.load(str(path))
    assert str(path) in str(error.value) and "partial connection record of 15 bytes" in str(error.value)


def o_tmpfile_works(directory):
    try:
        os.close(os.open(directory, os.O_TMPFILE | os.O_WRONLY))
        return True
    except (AttributeError, OSError):
        return False


def test_a_save_killed_midway_leaves_nothing_beside_the_target(tmp_path):
    if not o_tmpfile_works(tmp_path):
        pytest.skip("the file system cannot hold a file without a name")
    path = str(tmp_path / "model.kn")
    code = f"import kestrin\nm = kestrin.Model(2, 1, size=2000)\nprint(flush=True)\nwhile True: m.save({path!r})\n"
    env = {**os.environ, "PYTHONPATH": os.path.dirname(kestrin.__file__)}
    child = subprocess.Popen([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE)
    try:
        child.stdout.readline()
        # The file being written is open in the child: kill it then, mid-save.
        descriptors = f"/proc/{child.pid}/fd"
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            try:
                if any(os.readlink(f"{descriptors}/{fd}").startswith(str(tmp_path))
                       for fd in os.listdir(descriptors)):
                    break
            except FileNotFoundError:
                pass  # a descriptor closed while we looked
        else:
            pytest.fail("the child never wrote its model")
    finally:
        child.kill()
        child.wait()
        child.stdout.close()
    assert set(os.listdir(tmp_path)) <= {"model.kn"}
    if os.listdir(tmp_path):
        assert kestrin.load(path).size == 2000
