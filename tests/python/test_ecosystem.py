"""How kestrin meets the Python ecosystem: reprs, signatures, paths, DOT pictures, the version, the type stubs
(checked by mypy) and the examples."""
import ast
import importlib
import importlib.metadata
import inspect
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import kestrin
from conftest import crafted

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUBS = ROOT / "stubs" / "kestrin-stubs"


def need(name):
    """Imports an optional package; missing, the test is skipped, but in CI it fails."""
    if os.environ.get("CI"):
        return importlib.import_module(name)
    return pytest.importorskip(name)


def run(*args, cwd, timeout=600):
    """Runs a command with this interpreter and this kestrin; returns its stdout."""
    paths = [os.path.dirname(kestrin.__file__), os.environ.get("PYTHONPATH", "")]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in paths if p))
    done = subprocess.run([sys.executable, *args], cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


# ---- reprs, signatures, attributes --------------------------------------------


def test_reprs_show_counts_and_compile_state():
    model = kestrin.Model(2, 1)
    assert repr(model) == "<kestrin.Model inputs=2 outputs=1 nodes=3 connections=2 compiled=False>"
    model.compile(loss="mse", metrics=["mae"])
    assert repr(model) == "<kestrin.Model inputs=2 outputs=1 nodes=3 connections=2 loss='mse' metrics=['mae']>"
    model.compile(metrics=("mape", "mse"), monitors=["size"])
    assert repr(model).endswith(" loss=None metrics=['mape', 'mse'] monitors=['size']>")

    class Sub(kestrin.Model):
        pass

    assert repr(Sub(3, 2, size=6)).startswith(f"<{__name__}.test_reprs_show_counts_and_compile_state.<locals>.Sub "
                                              "inputs=3 outputs=2 nodes=6 connections=")

    class Odd(type(kestrin.Model)):
        def __getattribute__(cls, name):
            return 42 if name in ("__qualname__", "__module__") else super().__getattribute__(name)

    assert repr(Odd("Strange", (kestrin.Model,), {})(1, 1)).startswith("<Strange inputs=1 ")
    assert repr(kestrin.Genome(3, 2)) == "<kestrin.Genome inputs=3 outputs=2 nodes=0 connections=0>"
    assert repr(kestrin.optimizers.Alpha()) == "Alpha(mutation_rate=0.5)"
    assert repr(kestrin.optimizers.Alpha(1)) == "Alpha(mutation_rate=1.0)"


def test_genome_repr_counts_its_network():
    seen = []
    kestrin.Model(2, 1, size=4).func_evolve(lambda g: seen.extend(g) or np.zeros(len(g)), pop_size=2, epochs=1,
                                            verbose=0)
    genome = seen[0]
    assert re.fullmatch(r"<kestrin\.Genome inputs=2 outputs=1 nodes=\d+ connections=\d+>", repr(genome))


def test_types_have_signatures_and_keep_their_docs():
    expected = {
        kestrin.Model: ("(inputs, outputs, size=-1)",
                        "A Kestrin model that can be evolved on datasets and fitness functions."),
        kestrin.Genome: ("(inputs, outputs)", "A lightweight Kestrin model that can only be used for predictions."),
        kestrin.optimizers.Alpha: ("(mutation_rate=0.5)", "The first optimizer in Kestrin."),
    }
    for type_, (signature, doc) in expected.items():
        assert str(inspect.signature(type_)) == signature
        assert type_.__doc__ == doc


def public_callables():
    """Every public function of the module and its submodules, and every public method of their types."""
    modules = [kestrin] + [value for value in vars(kestrin).values() if inspect.ismodule(value)]
    for module in modules:
        for name, value in vars(module).items():
            if name.startswith("_"):
                continue
            if isinstance(value, type):
                yield value
                for method, member in vars(value).items():
                    if not method.startswith("_") and callable(member):
                        yield getattr(value, method)
            elif callable(value):
                yield value


def test_every_public_callable_has_a_signature():
    callables = list(public_callables())
    assert kestrin.Model.to_dot in callables and kestrin.load in callables
    for function in callables:
        inspect.signature(function)  # raises ValueError without a text signature


def test_inputs_and_outputs_are_read_only_counts(tmp_path):
    model = kestrin.Model(3, 2, size=7)
    assert (model.inputs, model.outputs, model.size) == (3, 2, 7)
    for name in ("inputs", "outputs"):
        with pytest.raises(AttributeError):
            setattr(model, name, 1)
    model.size = 10  # still the writable mirror
    model.save(tmp_path / "m.kn")
    loaded = kestrin.load(tmp_path / "m.kn")
    assert (loaded.inputs, loaded.outputs, loaded.size) == (3, 2, 7)


def test_one_sample_as_a_1d_array_gets_a_reshape_hint():
    model = kestrin.Model(4, 1)
    with pytest.raises(ValueError) as raised:
        model.predict(np.zeros(4))
    assert str(raised.value) == ("x has shape (4,) but the network has 4 inputs; x needs at least 4 columns. "
                                 "For one sample of 4 inputs, pass x.reshape(1, -1).")
    assert model.predict(np.zeros(4).reshape(1, -1)).shape == (1, 1)
    # Other shapes keep the plain message.
    for x in (np.zeros(3), np.zeros((4, 2))):
        with pytest.raises(ValueError, match=r"columns\.$"):
            model.predict(x)
    # A 1-D array still is one column of samples for a one-input network.
    assert kestrin.Model(1, 1).predict(np.zeros(5)).shape == (5, 1)


# ---- paths --------------------------------------------------------------------


class FsPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def test_save_and_load_take_str_and_path_like(tmp_path):
    model = kestrin.Model(2, 1)
    model.save(tmp_path / "a.kn")
    model.save(FsPath(str(tmp_path / "b.kn")))
    model.save(str(tmp_path / "c.kn"))
    for name in ("a.kn", "b.kn", "c.kn"):
        assert kestrin.load(tmp_path / name).get_connections() == model.get_connections()
        assert kestrin.load(FsPath(str(tmp_path / name))).size == model.size
    with pytest.raises(FileNotFoundError) as raised:
        kestrin.load(tmp_path / "missing.kn")
    assert raised.value.filename == tmp_path / "missing.kn"


def test_other_path_types_keep_the_parser_errors(tmp_path):
    model = kestrin.Model(2, 1)
    for bad, kind in ((3, "int"), (b"x.kn", "bytes"), (None, "None"), (FsPath(b"x.kn"), "bytes")):
        for call in (model.save, kestrin.load):
            with pytest.raises(TypeError, match=rf"^argument 1 must be str, not {kind}$"):
                call(bad)
    with pytest.raises(ValueError, match="embedded null character"):
        model.save(FsPath("a\0b"))

    class Broken:
        def __fspath__(self):
            raise RuntimeError("no path today")

    with pytest.raises(RuntimeError, match="no path today"):
        model.save(Broken())
    assert list(tmp_path.iterdir()) == []


# ---- DOT ----------------------------------------------------------------------


@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # pydot's use of older pyparsing names
def test_to_dot_parses_and_names_every_node_and_connection(tmp_path):
    pydot = need("pydot")
    # Inputs 0, 1; hidden 2 (from 0) and 3 (from 2, so one rank deeper); output 4. The flag 3 -> 1 points
    # into an input: the forward pass ignores it, the picture shows it dashed.
    records = [(0, 2, 0.5), (2, 3, -2.0), (3, 4, 1.5), (1, 4, -0.25), (3, 1, 0.75)]
    model = crafted(tmp_path, 2, 1, [0.0, 0.0, 0.1, -0.2, 0.3], [3, 3, 1, 2, 0], records)
    (graph,) = pydot.graph_from_dot_data(model.to_dot())

    nodes = {}
    ranks = {}
    for subgraph in graph.get_subgraphs():
        for node in subgraph.get_nodes():
            nodes[node.get_name()] = node.get("label")
            ranks[node.get_name()] = subgraph.get_name()
        assert subgraph.get("rank") == "same"
    assert sorted(nodes) == [f"n{i}" for i in range(5)]
    assert ranks == {"n0": "inputs", "n1": "inputs", "n2": "hidden_1", "n3": "hidden_2", "n4": "outputs"}
    assert "tanh" in nodes["n2"] and "b=0.1" in nodes["n2"]
    assert "relu" in nodes["n3"] and "b=-0.2" in nodes["n3"]

    edges = {(e.get_source(), e.get_destination()): e for e in graph.get_edges()}
    assert sorted(edges) == sorted((f"n{a}", f"n{b}") for a, b, _ in model.get_connections())
    assert edges["n0", "n2"].get("label") == '"0.5"' and edges["n2", "n3"].get("label") == '"-2"'
    positive, negative = edges["n0", "n2"].get("color"), edges["n2", "n3"].get("color")
    assert positive != negative
    assert edges["n1", "n4"].get("color") == negative
    assert float(edges["n2", "n3"].get("penwidth")) > float(edges["n0", "n2"].get("penwidth"))
    assert edges["n3", "n1"].get("style") == "dashed"


# ---- version ------------------------------------------------------------------


def test_version_matches_the_package_metadata():
    project = re.search(r'^version = "([^"]+)"', (ROOT / "pyproject.toml").read_text(), re.MULTILINE).group(1)
    cmake = re.search(r"project\(kestrin VERSION (\S+)", (ROOT / "CMakeLists.txt").read_text()).group(1)
    assert kestrin.__version__ == project == cmake
    try:
        files = importlib.metadata.distribution("kestrin").files or []
    except importlib.metadata.PackageNotFoundError:
        files = []
    # A build tree on PYTHONPATH is not the installed distribution; in CI kestrin is installed.
    if pathlib.Path(kestrin.__file__).resolve() not in {pathlib.Path(f.locate()).resolve() for f in files}:
        assert not os.environ.get("CI"), "CI must test the installed kestrin"
        pytest.skip("kestrin is imported from a build tree, not from the installed distribution")
    assert kestrin.__version__ == importlib.metadata.version("kestrin")


# ---- type stubs ---------------------------------------------------------------


def stub_names(path):
    """Top-level names of a stub file, and per class its member names."""
    tree = ast.parse(path.read_text())
    names, members = set(), {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            names.add(node.name)
            members[node.name] = {n.name for n in node.body if isinstance(n, ast.FunctionDef)} | {
                n.target.id for n in node.body if isinstance(n, ast.AnnAssign)}
        elif isinstance(node, ast.FunctionDef):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.ImportFrom) and node.level == 1:
            names.update(alias.asname or alias.name for alias in node.names)
    return names, members


def test_stubs_cover_every_public_name():
    for module in [kestrin] + [value for value in vars(kestrin).values() if inspect.ismodule(value)]:
        short = module.__name__.rpartition(".")[2]
        names, members = stub_names(STUBS / ("__init__.pyi" if module is kestrin else f"{short}.pyi"))
        public = {name for name in vars(module) if not name.startswith("_") or name == "__version__"}
        assert public <= names, f"{module.__name__}: no stub for {sorted(public - names)}"
        for name, value in vars(module).items():
            if isinstance(value, type) and not name.startswith("_"):
                runtime = {m for m in vars(value) if not m.startswith("_")}
                assert runtime <= members[name], f"{name}: no stub for {sorted(runtime - members[name])}"


def test_mypy_strict_accepts_typed_code_and_reports_each_mistake(tmp_path):
    need("mypy")
    installed = pathlib.Path(kestrin.__file__).parent / "kestrin-stubs"
    env = dict(os.environ)
    if installed.is_dir():
        # The wheel's stubs are the repository's.
        for stub in STUBS.glob("*.pyi"):
            assert (installed / stub.name).read_text() == stub.read_text(), stub.name
    else:
        assert not os.environ.get("CI"), "CI must check the stubs installed with kestrin"
        # A build tree: mypy finds stubs as a plain package on MYPYPATH.
        (tmp_path / "stubs").mkdir()
        (tmp_path / "stubs" / "kestrin").symlink_to(STUBS, target_is_directory=True)
        env["MYPYPATH"] = str(tmp_path / "stubs")
    typing = ROOT / "tests" / "typing"
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
         "--python-executable", sys.executable, "typed_example.py", "mistakes.py"],
        cwd=typing, env=env, capture_output=True, text=True, timeout=600)
    reported = set(re.findall(r"^(\S+?):(\d+): error: .*\[([\w-]+)\]$", done.stdout, re.MULTILINE))
    expected = {("mistakes.py", str(number), code)
                for number, line in enumerate((typing / "mistakes.py").read_text().splitlines(), 1)
                for code in re.findall(r"# E: ([\w-]+)", line)}
    assert len(expected) >= 8
    assert reported == expected, done.stdout + done.stderr


# ---- examples -----------------------------------------------------------------


def test_cartpole_example_runs(tmp_path):
    need("gymnasium")
    out = run(str(ROOT / "examples" / "cartpole.py"), "--generations", "2", "--episodes", "1", "--pop-size", "6",
              "--test-episodes", "2", cwd=tmp_path)
    assert re.search(r"^generations: 2, best training return: \d+\.\d$", out, re.MULTILINE), out
    assert re.search(r"^mean return of the final genome over 2 fresh episodes: \d+\.\d$", out, re.MULTILINE), out


def test_classify_example_prints_test_accuracy(tmp_path):
    need("sklearn")
    out = run(str(ROOT / "examples" / "classify.py"), "--epochs", "2", "--pop-size", "10", cwd=tmp_path)
    assert re.search(r"^test accuracy: [01]\.\d{3} on 143 tumours$", out, re.MULTILINE), out


def test_grid_search_example_compares_two_losses(tmp_path):
    need("sklearn")
    out = run(str(ROOT / "examples" / "grid_search.py"), "--epochs", "2", "--pop-size", "6", cwd=tmp_path)
    assert re.search(r"^best: (sparse_categorical_crossentropy|mse)$", out, re.MULTILINE), out
    assert re.search(r"^test accuracy: [01]\.\d{3} on 45 wines$", out, re.MULTILINE), out


def test_plot_history_example_writes_a_png(tmp_path):
    need("matplotlib")
    out = run(str(ROOT / "examples" / "plot_history.py"), "--epochs", "3", "--output", "run.png", cwd=tmp_path)
    assert out.startswith("wrote run.png (3 epochs")
    assert (tmp_path / "run.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
