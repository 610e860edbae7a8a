#!/usr/bin/env bash
# The documentation site (the task runner's `docs` session): installs docs/requirements.txt into the virtual environment, builds
# the HTML with warnings as errors and nitpicky references, runs the tutorials as doctests,
# then opens every page in headless Chromium (Debian's package, installed if missing) and
# checks that it loads and that each of its figures is a non-empty file the page shows.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${TAVO_VENV:-.venv}"
if [ ! -x "$venv/bin/python" ]; then
    echo "docs: no $venv; run it as the task runner's session: nox -s docs" >&2
    exit 1
fi
"$venv/bin/python" -m pip install -q --disable-pip-version-check -r docs/requirements.txt
out=build/docs
rm -rf "$out" build/docs-doctest
"$venv/bin/python" -m sphinx -q -W -n -b html docs "$out"
"$venv/bin/python" -m sphinx -q -W -n -b doctest docs build/docs-doctest

if ! command -v chromium >/dev/null 2>&1; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    # Waits for the lock while another install of the run (scripts/caches.sh) holds it.
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq -o DPkg::Lock::Timeout=600 \
        chromium >/dev/null
fi
browser=(chromium --headless --no-sandbox --disable-gpu --no-first-run
         --user-data-dir="$(mktemp -d)" --virtual-time-budget=5000)
"$venv/bin/python" - "$out" "${browser[@]}" <<'PY'
import subprocess
import sys
from html.parser import HTMLParser
from pathlib import Path

out, browser = Path(sys.argv[1]), sys.argv[2:]


class Images(HTMLParser):
    def __init__(self):
        super().__init__()
        self.sources, self.title = [], ""
        self._in_title = False

    def handle_starttag(self, tag, attrs):
        if tag == "img":
            self.sources.append(dict(attrs).get("src", ""))
        self._in_title = tag == "title"

    def handle_data(self, data):
        if self._in_title:
            self.title += data


failures = []
pages = sorted(p for p in out.rglob("*.html") if "_modules" not in p.parts)
for page in pages:
    dom = subprocess.run([*browser, "--dump-dom", page.resolve().as_uri()], capture_output=True,
                         text=True, timeout=60).stdout
    shown, built = Images(), Images()
    shown.feed(dom)
    built.feed(page.read_text(encoding="utf-8"))
    if "tavo" not in shown.title:
        failures.append(f"{page}: the browser did not load the page (title {shown.title!r})")
    if len(shown.sources) < len(built.sources):
        failures.append(f"{page}: the browser shows {len(shown.sources)} of its figures")
    for source in built.sources:
        image = (page.parent / source).resolve()
        if not image.is_file() or image.stat().st_size == 0:
            failures.append(f"{page}: figure {source} missing or empty")
subprocess.run([*browser, f"--screenshot={out / 'screenshot-mesh.png'}",
                "--window-size=1200,1600", (out / "mesh.html").resolve().as_uri()],
               capture_output=True, timeout=60)
shot = out / "screenshot-mesh.png"
if not shot.is_file() or shot.stat().st_size < 10_000:
    failures.append("no screenshot of mesh.html")
print(f"docs: {len(pages)} pages opened in headless Chromium", *failures, sep="\n")
sys.exit(1 if failures else 0)
PY
