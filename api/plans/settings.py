"""The survey plans' settings from the environment: the render pool's processes and queue, and the
budgets of the plan cache in Redis and in memory. Read once, as this module loads; a value that is
not a whole number where one is due stops the load with a ValueError that names the variable."""

from __future__ import annotations

import os

from serving import cores_per_worker, whole_setting

# Drawing processes per web worker: by default the worker's share of the machine's cores, so that
# the workers of one machine start as many in all as it has cores (one worker alone: all of them).
PROCESSES = whole_setting("VEXA_RENDER_PROCESSES", cores_per_worker())
WAITING_PER_PROCESS = whole_setting("VEXA_RENDER_WAITING", 2, least=0)  # drawings queued behind each
MAX_IN_REDIS = whole_setting("VEXA_PLANS_IN_REDIS", 200)  # about 40 to 100 MB at 0.2 to 0.5 MB a plan
MEMORY_BYTES = int(float(os.getenv("VEXA_PLAN_MEMORY_MB", "64")) * 2**20)  # recent plans kept per process
# The longest a drawing may take (seconds): a plan still drawing then is abandoned and its process
# replaced. A PNG takes a few hundred milliseconds and a PDF about a second on a machine at rest;
# the largest plots a few seconds more.
DRAW_TIMEOUT_S = whole_setting("VEXA_PLAN_DRAW_TIMEOUT_S", 30)
