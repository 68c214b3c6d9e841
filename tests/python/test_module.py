import gc
import os
import subprocess
import sys
import textwrap
import weakref

import numpy as np
import pytest

import kestrin
from conftest import snapshot
from kestrin.optimizers import Alpha

BASETYPE = 1 << 10
HAVE_GC = 1 << 14

MODEL_METHODS = [
    ("evolve", "(self, x_train, y_train, pop_size=100, batch_size=-1, epochs=100, validation_data=None, verbose=1)",
     "Evolves the network on a given dataset."),
    ("func_evolve", "(self, train_func, pop_size=100, epochs=100, verbose=1, validation_func=None)",
     "Evolves the network on a given fitness function."),
    ("predict", "(self, x)", "Predict the the outputs for a given set of samples."),
    ("evaluate", "(self, x, y)",
     "Evaluate the the network based on the compiled losses/metrics on a given dataset."),
    ("compile", "(self, optimizer, loss, metrics, monitors, *, precision)",
     "Configure the losses, metrics and monitors for evolution. For `model.evolve_func`, losses and metrics are "
     "optional."),
    ("get_nodes", "(self)", "Returns a list of nodes contained in the network."),
    ("get_connections", "(self)", "Returns a list of connections contained in the network."),
    ("to_keras", "(self)", "Convert the Kestrin model to a Keras model."),
    ("save", "(self, path)", "Saves the model using the '.kn' format."),
]

MODULE_FUNCTIONS = [
    ("from_keras", "(keras_model)",
     "Convert a Keras model to a Kestrin model. This only works for Keras models that have been exported from "
     "Kestrin using `model.to_keras()` with unmodified architecture."),
    ("load", "(path)", "Load a model saved in the '.kn' format."),
]


def table_order(namespace, names):
    return [name for name in vars(namespace) if name in names]


def test_module_types_and_docstrings():
    assert kestrin.__doc__ == "Kestrin allows training models through neuro-evolution."
    assert kestrin.optimizers.__name__ == "kestrin.optimizers"
    assert kestrin.optimizers.__doc__ == "Optimizers."
    assert kestrin.optimizers.Alpha is Alpha
    assert [n for n in ("Model", "Genome", "optimizers") if hasattr(kestrin, n)] == ["Model", "Genome", "optimizers"]
    for cls, name, doc in [
        (kestrin.Model, "kestrin.Model", "A Kestrin model that can be evolved on datasets and fitness functions."),
        (kestrin.Genome, "kestrin.Genome", "A lightweight Kestrin model that can only be used for predictions."),
        (Alpha, "kestrin.optimizers.Alpha", "The first optimizer in Kestrin."),
    ]:
        assert f"{cls.__module__}.{cls.__qualname__}" == name
        assert cls.__doc__ == doc
        assert cls.__flags__ & BASETYPE
        # A model holds attributes that callbacks set (model.history), which can make cycles.
        assert bool(cls.__flags__ & HAVE_GC) == (cls is kestrin.Model)
    assert kestrin.Model.size.__doc__ == "Total number of nodes in the network (including inputs and outputs)."


def test_methods_in_table_order_with_text_signatures():
    for namespace, table in [(kestrin.Model, MODEL_METHODS), (kestrin, MODULE_FUNCTIONS)]:
        names = [name for name, _, _ in table]
        assert table_order(namespace, names) == names
        for name, signature, doc in table:
            function = getattr(namespace, name)
            assert function.__text_signature__ == signature, name
            assert function.__doc__ == doc, name
    assert table_order(kestrin.Genome, ["predict", "get_nodes", "get_connections"]) == [
        "predict", "get_nodes", "get_connections"]
    assert kestrin.Genome.predict.__text_signature__ == "(self, x)"
    assert kestrin.Genome.predict.__doc__ == "Predict the the outputs for a given set of samples."
    pickling = {"__reduce__", "__setstate__", "__copy__", "__deepcopy__"}
    assert set(vars(Alpha)) == {"__new__", "__init__", "__doc__", "__repr__"} | pickling


def test_alpha_arguments():
    Alpha(), Alpha(0.1), Alpha(mutation_rate=2), type("Sub", (Alpha,), {})(0.1)
    for args, kwargs in [(("x",), {}), ((0.1, 0.2), {}), ((), {"rate": 0.1}), ((None,), {})]:
        with pytest.raises(TypeError):
            Alpha(*args, **kwargs)
    alpha = Alpha(0.25)
    assert not hasattr(alpha, "mutation_rate")
    with pytest.raises(AttributeError):
        alpha.mutation_rate = 0.3


def test_model_counts_and_size_mirror():
    assert (kestrin.Model(2, 1).size, kestrin.Model(2, 1, size=5).size, kestrin.Model(0, 0).size) == (3, 5, 0)
    for model in (kestrin.Model(inputs=4, outputs=2), kestrin.Model(4, 2, -1), kestrin.Model(4, 2, size=-1)):
        assert (model.size, len(model.get_nodes())) == (6, 6)
    # size is a plain writable mirror: the network keeps its own count.
    model = kestrin.Model(2, 1)
    model.size = 10
    assert model.size == 10 and len(model.get_nodes()) == 3
    assert model.predict(np.zeros((1, 2))).shape == (1, 1)
    with pytest.raises(TypeError):
        model.size = "10"
    with pytest.raises(TypeError):
        del model.size
    assert model.size == 10


@pytest.mark.parametrize("args, error, numbers", [
    ((-1, 1), ValueError, ["-1", "1"]),
    ((2, -3), ValueError, ["2", "-3"]),
    ((2, 1, 2), ValueError, ["2", "3"]),
    ((2, 1, 0), ValueError, ["0", "3"]),
    ((2, 1, -2), ValueError, ["-2", "3"]),
    ((2**30, 2**30), ValueError, [str(2**31)]),
    ((2, 1, 2**31 - 1), MemoryError, []),
    ((200_000, 1), MemoryError, []),
    ((2, 1, 2**31), OverflowError, []),
])
def test_counts_the_network_cannot_hold_are_refused(args, error, numbers):
    with pytest.raises(error) as raised:
        kestrin.Model(*args)
    for number in numbers:
        assert number in str(raised.value)


def test_failed_init_leaves_the_model_and_a_good_one_uncompiles():
    model = kestrin.Model(2, 1, size=5)
    model.compile(loss="mse")
    x = np.array([[0.3, -0.7]])
    before, prediction = snapshot(model), model.predict(x)
    for args in [(-1, 1), (2, 1, 1), (2, 1, 2**31 - 1), ("2", 1), (2,)]:
        with pytest.raises((ValueError, MemoryError, TypeError)):
            model.__init__(*args)
        assert snapshot(model) == before
        assert np.array_equal(model.predict(x), prediction)
    model.__init__(3, 2, size=7)
    assert (model.size, len(model.get_nodes())) == (7, 7)
    with pytest.raises(RuntimeError, match="You must compile your model"):
        model.evaluate(np.zeros((1, 3)), np.zeros((1, 2)))


def test_genome_from_python_holds_no_network():
    class Prediction(kestrin.Genome):
        pass

    for genome in (kestrin.Genome(3, 2), kestrin.Genome(inputs=3, outputs=2), Prediction(3, 2)):
        assert (genome.size, genome.inputs, genome.outputs, genome.get_nodes(), genome.get_connections()) == (
            0, 3, 2, [], [])
        with pytest.raises(RuntimeError, match="holds no network"):
            genome.predict(np.zeros((1, 3)))
        with pytest.raises(TypeError):
            genome.predict([1, 2, 3])
    for args in [(3,), ("3", 2), (1, 2, 3)]:
        with pytest.raises(TypeError):
            kestrin.Genome(*args)


def test_subclasses_build_work_and_are_released():
    class Named(kestrin.Model):
        def __init__(self, name, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.name = name

    class Slotted(kestrin.Model):
        __slots__ = ("tag",)

    model = Named("a", 2, 1, size=4)
    assert isinstance(model, kestrin.Model)
    assert (model.name, model.size, len(model.get_nodes())) == ("a", 4, 4)
    model.cycle = model  # a reference cycle only the collector can free
    released = []
    weakref.finalize(model, released.append, True)
    del model
    gc.collect()
    assert released == [True]

    slotted = Slotted(1, 1)
    slotted.tag = "t"
    assert slotted.predict(np.zeros((2, 1))).shape == (2, 1)


def test_missing_numpy_raises_import_error(tmp_path):
    fake = tmp_path / "numpy"
    fake.mkdir()
    (fake / "__init__.py").write_text('raise ImportError("this numpy is broken")\n')
    module_dir = os.path.dirname(kestrin.__file__)
    code = textwrap.dedent("""
        try:
            import kestrin
        except ImportError as error:
            print(type(error).__name__, error)
        else:
            print("imported")
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path), module_dir]))
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert result.stdout.strip() == "ImportError numpy.core.multiarray failed to import"
    assert "this numpy is broken" in result.stderr
