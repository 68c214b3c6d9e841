# Fitness spread over worker processes and a Dask cluster: genomes travel by
# pickle, and under one seed a parallel run gives the serial run's history.
import concurrent.futures
import multiprocessing

import pytest

import fitness_helpers
import kestrin


def seeded_run(map_genomes):
    """func_evolve under a fixed seed, each epoch's genomes scored through map_genomes."""
    kestrin.set_random_seed(2026)
    model = kestrin.Model(2, 1, size=4)
    model.compile(monitors=["size"])

    def train_func(genomes):
        return list(map_genomes(fitness_helpers.genome_loss, genomes))

    history = model.func_evolve(train_func, pop_size=10, epochs=3, verbose=0)
    return history, model.get_nodes(), model.get_connections()


@pytest.fixture(scope="module")
def serial_run():
    return seeded_run(map)


def test_process_pool_gives_the_serial_history(serial_run):
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(max_workers=2, mp_context=context) as executor:
        assert seeded_run(executor.map) == serial_run
        # A compiled model travels too, and its compile state with it.
        model = kestrin.Model(2, 1, size=5)
        model.compile(loss="mae", metrics=["mse"])
        assert executor.submit(fitness_helpers.model_scores, model).result() == fitness_helpers.model_scores(model)


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as client:
            yield client


@pytest.mark.dask
def test_dask_cluster_gives_the_serial_history(serial_run, dask_client):
    def dask_map(function, genomes):
        return dask_client.gather(dask_client.map(function, genomes))

    assert seeded_run(dask_map) == serial_run
    assert len(dask_client.scheduler_info()["workers"]) == 2
