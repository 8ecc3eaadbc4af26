"""What the tools' tests share: the built launcher, which the kit checks
need and which must fail the run, not skip it, when it was not built."""
import os

import pytest

import samples


@pytest.fixture(scope="session")
def launcher():
    if not os.path.isfile(samples.LAUNCHER_EXE):
        pytest.fail("%s is missing: build it with 'cmake --preset windows && cmake --build --preset windows'"
                    % samples.LAUNCHER_EXE, pytrace=False)
    return samples.LAUNCHER_EXE
