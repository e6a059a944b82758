import os
import pathlib

from hypothesis import HealthCheck, settings
from hypothesis.configuration import set_hypothesis_home_dir

# Hypothesis keeps its example database and caches under build/ with the other generated files.
if not os.environ.get("HYPOTHESIS_STORAGE_DIRECTORY"):
    set_hypothesis_home_dir(pathlib.Path(__file__).resolve().parents[2] / "build" / "hypothesis")

# Timing varies with the load on a small machine, so deadlines would only add flaky failures.
settings.register_profile("default", deadline=None)
settings.register_profile(
    "ci",
    parent=settings.get_profile("default"),
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile(
    os.environ.get("HYPOTHESIS_PROFILE", "ci" if os.environ.get("CI") else "default")
)
