#!/usr/bin/env bash
# Installs what the tests need, then runs every test: the C++ core suite (ctest)
# and the Python suite (pytest) against a freshly installed kestrin.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}

if [ ! -f /usr/include/gtest/gtest.h ]; then
  echo "== installing GoogleTest"
  SUDO=""
  if [ "$(id -u)" != 0 ] && command -v sudo >/dev/null; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq libgtest-dev
fi

echo "== installing Python test dependencies"
"$PYTHON" -m pip install -q --disable-pip-version-check -r requirements-test.txt

echo "== installing kestrin"
# Warnings are errors here too, so the Python layer is held to the same standard as the core.
"$PYTHON" -m pip install -q --disable-pip-version-check -Ccmake.define.KESTRIN_WERROR=ON .

echo "== C++ core tests"
cmake -S . -B build/tests -DKESTRIN_BUILD_TESTS=ON -DKESTRIN_BUILD_MODULE=OFF -DKESTRIN_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/tests -j "$(nproc)"
ctest --test-dir build/tests --output-on-failure -j "$(nproc)"

echo "== Python tests"
# Run from the tests folder so that the installed module is imported, not a build tree.
export KERAS_BACKEND=${KERAS_BACKEND:-jax}
cd tests/python
"$PYTHON" -m pytest -q -p no:cacheprovider "$@"
