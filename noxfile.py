"""The project's tasks: `nox -s NAME` (bash scripts/test.sh installs nox and runs `tests`).

Every session runs in the project's own environment (.venv, or TAVO_VENV) rather than in one
that nox makes: the module is built once into it and each session reuses that build. The
interpreters other than the default one get environments of their own under build/.
"""

import os
import platform
import shutil
import subprocess
import sys
import time
import zlib
from pathlib import Path

import nox

nox.options.default_venv_backend = "none"
nox.options.sessions = ["tests"]
nox.options.error_on_missing_interpreters = True

ROOT = Path(__file__).resolve().parent
VENV = Path(os.environ.get("TAVO_VENV", ROOT / ".venv"))
BUILD = ROOT / "build"
LINTERS = ["clang-format==23.1.3", "clang-tidy==23.1.4", "ruff==0.17.5"]
TOOLS = ["scikit-build-core", "cmake", "ninja", "numpy", "scipy", "matplotlib", "pytest",
         "hypothesis", "mypy"]
PIP = ["-m", "pip", "install", "-q", "--disable-pip-version-check"]
# Development mode, the fault handler: how CI runs every pytest.
CHECKED = ["-X", "faulthandler", "-m", "pytest", "-q", "-p", "no:cacheprovider"]
# The allocations that the system refuses on purpose: a sanitizer's operator new reports and
# aborts instead of throwing std::bad_alloc, so these cannot run under one.
REFUSED_ALLOCATIONS = ["LagrangeBasis.ImpossibleNodeCounts",
                       "LegendreBasisRefusal.ImpossibleSizes",
                       "Prolongation.RefusedAllocationIsBadAlloc"]
REFUSED_REGEX = "^(" + "|".join(name.replace(".", r"\.") for name in REFUSED_ALLOCATIONS) + ")$"


def python_of(venv):
    return str(Path(venv) / "bin" / "python")


def prepare(session, python=None, venv=VENV, build_dir=None, profile="developer",
            for_tests=False):
    """The one set-up of an environment: venv, the build and test tools (and with
    for_tests=False what the demo needs), Dask where this Python has wheels of it, and tavo
    built into it (incrementally, in its own build folder, keyed by interpreter). Returns the
    environment's python."""
    python = python or os.environ.get("TAVO_PYTHON", "python3")
    venv = Path(venv)
    if not (venv / "bin" / "python").exists():
        session.run(python, "-m", "venv", str(venv), external=True)
    venv_python = python_of(venv)
    # matplotlib is for the demo and the documentation's figures; an environment that only
    # runs the tests (for_tests) goes without.
    tools = [name for name in TOOLS if not (for_tests and name == "matplotlib")]
    session.run(venv_python, *PIP, *tools, external=True)
    try:
        session.run(venv_python, *PIP, "--only-binary=:all:", "dask", "distributed",
                    external=True, silent=True)
    except nox.command.CommandFailed:
        session.log("no wheels of dask and distributed for this Python: their tests skip")
    # pyproject.toml keys the build folder by the wheel tag; two interpreters of one version
    # (the system's and another install) need their own. The long option: pip before 23.1
    # lacks -C.
    build_dir = build_dir or os.environ.get("TAVO_BUILD_DIR")
    where = [f"--config-settings=build-dir={build_dir}"] if build_dir else []
    session.run(venv_python, *PIP, "--no-build-isolation", *where, str(ROOT),
                env={"TAVO_PROFILE": profile, **compiler_cache()}, external=True)
    return venv_python


def compiler_cache():
    """ccache before the compiler of a module build, where the machine has it: the core's
    files compile alike for every interpreter, so each is compiled once per machine (the
    cache is outside the checkout, its paths taken relative to it)."""
    if not shutil.which("ccache"):
        return {}
    return {"CMAKE_CXX_COMPILER_LAUNCHER": "ccache", "CCACHE_BASEDIR": str(ROOT)}


def tool(name):
    """A program of the project's environment (cmake, ctest, the linters), else the machine's."""
    path = VENV / "bin" / name
    return str(path) if path.exists() else name


def with_venv_path(venv=VENV):
    return {"PATH": f"{Path(venv) / 'bin'}{os.pathsep}{os.environ['PATH']}"}


def pytest(session, python, *selection, options=(), env=None):
    """pytest in development mode; exit 5 (nothing collected) fails like a failed test."""
    session.run(python, *options, *CHECKED, *(selection or ["tests"]),
                env={"PYTHONDEVMODE": "1", **(env or {})}, external=True)


def cpp_tests(session, preset="cpp-tests", exclude=None, env=None):
    session.run(tool("cmake"), "--preset", preset, external=True, env=with_venv_path(), silent=True)
    session.run(tool("cmake"), "--build", "--preset", preset, external=True, env=with_venv_path())
    extra = ["-E", exclude] if exclude else []
    session.run(tool("ctest"), "--preset", preset, *extra, external=True,
                env={**with_venv_path(), **(env or {})})


@nox.session
def tests(session):
    """C++ unit tests (ctest) and the Python suite on the default interpreter; with
    TAVO_ALL_PYTHONS=1 the Python suite on every interpreter of the machine instead."""
    python = prepare(session)
    cpp_tests(session)
    if os.environ.get("TAVO_ALL_PYTHONS") == "1":
        all_pythons(session)
    else:
        pytest(session, python, "tests", *session.posargs)


# One line per usable interpreter: "<real path> <version>"; nothing for one that is too old,
# not CPython, or lacks venv or its headers (a pyenv shim without a version drops out too).
PROBE = """
import os, sys, sysconfig, importlib.util
ok = (sys.implementation.name == "cpython" and sys.version_info >= (3, 9)
      and importlib.util.find_spec("venv") and importlib.util.find_spec("ensurepip")
      and os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))
if ok:
    print(os.path.realpath(sys.executable), "%d.%d.%d" % sys.version_info[:3])
"""


def machine_pythons():
    if os.environ.get("TAVO_PYTHONS"):
        candidates = os.environ["TAVO_PYTHONS"].split()
    else:
        names = ["python3"] + [f"python3.{minor}" for minor in range(9, 16)]
        candidates = [shutil.which(name) for name in names]
        for folder in ("/usr/bin", "/usr/local/bin"):
            candidates += sorted(str(p) for p in Path(folder).glob("python3*")
                                 if p.name.replace("python3", "").lstrip(".").isdigit()
                                 or p.name == "python3")
        if shutil.which("pyenv"):
            root = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
            candidates += sorted(str(p) for p in Path(root, "versions").glob("*/bin/python3"))
    found = {}
    for candidate in filter(None, candidates):
        try:
            line = subprocess.run([candidate, "-c", PROBE], capture_output=True, text=True,
                                  timeout=60).stdout.split()
        except (OSError, subprocess.TimeoutExpired):
            continue
        if len(line) == 2:
            found.setdefault(line[0], line[1])
    return sorted(found.items(), key=lambda item: tuple(map(int, item[1].split("."))))


@nox.session
def all_pythons(session):
    """The Python suite on every CPython version of the machine, one interpreter each
    (python3.N on the PATH, /usr/bin, /usr/local/bin, pyenv's versions; TAVO_PYTHONS="path
    ..." names them instead), each in an environment and a module build of its own, then on
    the interpreters that scripts/interpreters.sh provides; a summary table at the end."""
    pythons = machine_pythons()
    if not pythons:
        session.error("no usable CPython found")
    default = os.path.realpath(shutil.which("python3") or "")
    # One interpreter of each version, the default's where it is one of them: two builds of
    # one version test the same C API.
    chosen = {}
    for path, version in pythons:
        minor = version.rsplit(".", 1)[0]
        if minor not in chosen or path == default:
            chosen[minor] = path
    for path, version in pythons:
        if chosen[version.rsplit(".", 1)[0]] != path:
            session.log(f"{path} ({version}): that version is tested on another interpreter")
    pythons = [(path, version) for path, version in pythons if path in chosen.values()]
    rows, names = [], set()
    for path, version in pythons:
        name = f"cpython-{version}"
        if name in names:
            name += "-" + format(zlib.crc32(path.encode()), "08x")  # stable between runs
        names.add(name)
        own = path == default
        venv = VENV if own else BUILD / f"venv-{name}"
        started = time.monotonic()
        try:
            python = prepare(session, python=path, venv=venv, for_tests=not own,
                             build_dir=None if own else BUILD / f"module-{name}")
            pytest(session, python, "tests", *session.posargs)
            result = "passed"
        except nox.command.CommandFailed:
            result = "FAILED"
        rows.append((name, result, time.monotonic() - started, path))
    provider = ROOT / "scripts" / "interpreters.sh"
    if provider.exists():
        listed = subprocess.run(["bash", str(provider), "names"], capture_output=True,
                                text=True, cwd=ROOT)
        if listed.returncode != 0:
            rows.append(("scripts/interpreters.sh", "FAILED", 0.0, listed.stderr.strip()[-200:]))
        for name in listed.stdout.split():
            started = time.monotonic()
            try:
                session.run("bash", str(provider), "test", name, *session.posargs, external=True)
                result = "passed"
            except nox.command.CommandFailed:
                result = "FAILED"
            rows.append((name, result, time.monotonic() - started, "scripts/interpreters.sh"))
    print("\n== Python test suite per interpreter")
    for name, result, seconds, where in rows:
        print(f"{name:<22} {result:<8} {seconds:5.0f}s  {where}")
    if any(row[1] != "passed" for row in rows):
        session.error("the Python suite failed on " +
                      ", ".join(row[0] for row in rows if row[1] != "passed"))


@nox.session
def one_python(session):
    """The Python suite on the interpreter TAVO_PYTHON, in the environment TAVO_VENV with the
    module built in TAVO_BUILD_DIR: how scripts/interpreters.sh runs it on the interpreters
    it provides. Arguments go to pytest, after tests/ unless they name tests themselves.
    TAVO_PARALLEL_THREADS=N runs each test that means something in parallel in N threads at
    once (pytest-run-parallel; tests/conftest.py marks the others), as on a free-threaded
    build."""
    python = prepare(session, for_tests=True)
    named = any(arg.startswith("tests") for arg in session.posargs)
    parallel = []
    if os.environ.get("TAVO_PARALLEL_THREADS"):
        session.run(python, *PIP, "pytest-run-parallel", external=True)
        parallel = [f"--parallel-threads={os.environ['TAVO_PARALLEL_THREADS']}"]
    pytest(session, python, *([] if named else ["tests"]), *parallel, *session.posargs)


@nox.session
def lint(session):
    """clang-format (dry run, differences are errors) over the C++ files, clang-tidy over
    src/ (every warning an error), ruff over the Python files; pinned versions."""
    python = prepare(session)
    session.run(python, *PIP, *LINTERS, external=True)
    env = with_venv_path()
    tracked = subprocess.run(["git", "ls-files", "*.cpp", "*.hpp"], cwd=ROOT,
                             capture_output=True, text=True, check=True).stdout.split()
    session.run(tool("clang-format"), "--dry-run", "--Werror", *tracked, external=True, env=env)
    # A configuration of the module and the C++ tests, for the compile commands alone.
    session.run(tool("cmake"), "--preset", "lint", f"-DPython_EXECUTABLE={python}", external=True,
                env=env, silent=True)
    sources = [f for f in tracked if f.startswith("src/") and f.endswith(".cpp")]
    session.run(tool("clang-tidy"), "-p", str(BUILD / "lint"), "--quiet", "--warnings-as-errors=*",
                *sources, external=True, env=env)
    session.run(tool("ruff"), "check", "--quiet", str(ROOT), external=True, env=env)


@nox.session
def python_checks(session):
    """The Python suite with the interpreter's own checks: development mode, the debug
    allocators (which also abort when one is called without the interpreter lock held)."""
    python = prepare(session)
    pytest(session, python, *(session.posargs or ["tests"]), options=["-X", "dev"],
           env={"PYTHONMALLOC": "debug"})


def instrumented(session, name, profile, *defines, env=None, base=None, cpp_tests=True):
    """The module and the C++ tests built with a sanitizer (build/NAME), the module installed
    into build/NAME-venv, which sees every other package of the project's environment (or of
    the environment of `base`, a python) through a .pth file, so nothing is downloaded twice.
    Returns that python and an empty folder for the reports."""
    base = base or prepare(session)
    build, venv = BUILD / name, BUILD / f"{name}-venv"
    if not (venv / "bin" / "python").exists():
        session.run(base, "-m", "venv", str(venv), external=True)
    python = python_of(venv)
    purelib = "import sysconfig; print(sysconfig.get_path('purelib'))"
    here = subprocess.run([python, "-c", purelib], capture_output=True, text=True, check=True)
    there = subprocess.run([base, "-c", purelib], capture_output=True, text=True, check=True)
    Path(here.stdout.strip(), "tavo_dev_packages.pth").write_text(there.stdout)
    session.run(python, *PIP, "--no-build-isolation", "--no-deps", f"-Cbuild-dir={build}",
                f"-Ccmake.define.TAVO_BUILD_TESTS={'ON' if cpp_tests else 'OFF'}",
                *[f"-Ccmake.define.{define}" for define in defines], str(ROOT),
                env={**with_venv_path(), "TAVO_PROFILE": profile, **(env or {})}, external=True)
    reports = build / "reports"
    shutil.rmtree(reports, ignore_errors=True)
    reports.mkdir(parents=True)
    return python, build, reports


def gcc_file(name):
    return subprocess.run(["g++", f"-print-file-name={name}"], capture_output=True, text=True,
                          check=True).stdout.strip()


def fail_on_reports(session, reports, log=None):
    found = sorted(reports.iterdir())
    text = log.read_text(errors="replace") if log and log.exists() else ""
    marks = ("runtime error:", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer")
    if found or any(mark in text for mark in marks):
        for report in found:
            print(report.read_text(errors="replace"), file=sys.stderr)
        for number, line in enumerate(text.splitlines(), 1):
            if any(mark in line for mark in marks):
                print(f"{log}:{number}: {line}", file=sys.stderr)
        session.error("the sanitizer wrote reports")


@nox.session
def sanitizers(session):
    """The C++ tests and the Python suite with AddressSanitizer and UndefinedBehaviorSanitizer.
    Every report stops the process that made it; the session fails when a test fails or any
    process the tests started wrote a report."""
    python, build, reports = instrumented(session, "asan", "asan")
    # allocator_may_return_null: a refused malloc returns null, so the interpreter's own
    # allocation failures stay MemoryError (the module's own refused allocations cannot run:
    # their test names say MemoryError, and the plain runs have them).
    common = "halt_on_error=1:abort_on_error=1:allocator_may_return_null=1"
    ubsan = {"UBSAN_OPTIONS": "halt_on_error=1:abort_on_error=1:print_stacktrace=1"}
    session.run(tool("ctest"), "--test-dir", str(build), "-j2", "--output-on-failure",
                "--no-tests=error", "-E", REFUSED_REGEX, external=True,
                env={**ubsan, "ASAN_OPTIONS": f"{common}:detect_leaks=1",
                     "LSAN_OPTIONS": f"suppressions={ROOT / 'tests' / 'lsan.supp'}"})
    # The interpreter is not instrumented: the runtime is preloaded, and libstdc++ with it
    # (the runtime looks up the real __cxa_throw when it starts, before the module brings
    # libstdc++ in). malloc_debug sends every interpreter allocation to the sanitizer's
    # malloc and keeps the debug hooks. Leak checking is off: the interpreter keeps much of
    # its memory until exit on purpose. The address sanitizer reports to files, so none is
    # lost in a test's captured subprocess output; the undefined-behaviour one to standard
    # error, which --capture=sys leaves uncaptured and the log keeps (with the failure
    # reports the module writes for every PanicException).
    env = {**ubsan, "LD_PRELOAD": f"{gcc_file('libasan.so')} {gcc_file('libstdc++.so')}",
           "ASAN_OPTIONS": f"{common}:detect_leaks=0:log_path={reports / 'asan'}",
           "PYTHONMALLOC": "malloc_debug", "PYTHONDEVMODE": "1"}
    module = subprocess.run([python, "-c", "import tavo; print(tavo.__file__)"],
                            capture_output=True, text=True, env={**os.environ, **env})
    if not module.stdout.startswith(str(BUILD / "asan-venv")):
        session.error(f"imported {module.stdout.strip() or module.stderr} instead of the "
                      "sanitized build")
    log = build / "pytest-stderr.log"
    log.write_text("")
    # The property tests on their own: should one stop the interpreter, the rest has run.
    runs = ([list(session.posargs)] if session.posargs
            else [["--ignore=tests/test_fuzz.py", "tests"], ["tests/test_fuzz.py"]])
    failed = False
    for selection in runs:
        with log.open("a") as stderr:
            status = subprocess.call([python, *CHECKED, "--capture=sys", "-k", "not MemoryError",
                                      *selection], cwd=ROOT, stderr=stderr,
                                     env={**os.environ, **env})
        if status:
            failed = True
            if status > 5:  # a fatal signal leaves the fault handler's traceback at the end
                print("\n".join(log.read_text().splitlines()[-40:]), file=sys.stderr)
    fail_on_reports(session, reports, log)
    if failed:
        session.error("pytest failed under the sanitizers")


@nox.session
def thread_sanitizer(session):
    """The C++ tests (batches from several threads on the worker pool) and the Python tests
    that run batches, set_dofs and single-time calls from several threads, under
    ThreadSanitizer with an instrumented oneTBB. Any report fails; tests/tsan.supp lists the
    ones known to be false, each with its reason. Then thread_sanitizer_3_13t."""
    libs, tbb, norandom, common = tsan_setting(session)
    python, build, reports = instrumented(session, "tsan", "tsan",
                                          f"TBB_DIR={tbb}/lib/cmake/TBB", env=libs)
    session.run(*norandom, tool("ctest"), "--test-dir", str(build), "-j2", "--output-on-failure",
                "--no-tests=error", "-E", REFUSED_REGEX, external=True,
                env={**libs, "TSAN_OPTIONS": common})
    # The interpreter's lock is a pthread mutex and condition variable, which the preloaded
    # runtime sees, so it knows the ordering that the lock gives the module's code.
    env = {**libs, "LD_PRELOAD": gcc_file("libtsan.so"), "PYTHONMALLOC": "malloc",
           "TSAN_OPTIONS": f"{common}:log_path={reports / 'tsan'}"}
    session.run(*norandom, python, "-c", "import tavo\nassert " + repr(f"{tbb}/lib/libtbb") +
                " in open('/proc/self/maps').read(), 'system oneTBB loaded'", external=True,
                env=env)
    failed = False
    try:
        session.run(*norandom, python, *CHECKED, "tests/test_threads.py", "tests/test_stress.py",
                    "tests/test_leaks.py::test_no_leak_while_batches_run_in_other_threads",
                    *session.posargs, external=True, env=env)
    except nox.command.CommandFailed:
        failed = True
    fail_on_reports(session, reports)
    if failed:
        session.error("pytest failed under ThreadSanitizer")
    thread_sanitizer_3_13t(session)


def tsan_setting(session):
    """The instrumented oneTBB (built once, cached), its library path, the prefix that turns
    address randomisation off, and the runtime's common options."""
    build_tbb = "source scripts/cross_env.sh && instrumented_onetbb thread"
    tbb = subprocess.run(["bash", "-c", build_tbb], cwd=ROOT, stdout=subprocess.PIPE, text=True)
    if tbb.returncode:
        session.error("the instrumented oneTBB did not build")
    tbb = tbb.stdout.strip().splitlines()[-1]
    libs = {"LD_LIBRARY_PATH": os.pathsep.join(filter(None, [f"{tbb}/lib",
                                                              os.environ.get("LD_LIBRARY_PATH")]))}
    # The runtime cannot map its shadow memory beside a fully randomised address space on
    # recent kernels: setarch -R turns the randomisation off for the processes below.
    machine = platform.machine()
    norandom = ["setarch", machine, "-R"] if subprocess.call(
        ["setarch", machine, "-R", "true"], stderr=subprocess.DEVNULL) == 0 else []
    common = f"halt_on_error=1:second_deadlock_stack=1:suppressions={ROOT / 'tests' / 'tsan.supp'}"
    return libs, tbb, norandom, common


@nox.session
def thread_sanitizer_3_13t(session):
    """The stress tests (tests/test_stress.py: the shared evaluator and basis, the list changed
    while it is read, the hammering) on the free-threaded interpreter (scripts/interpreters.sh
    makes it),
    where the module's calls truly overlap, with the module and oneTBB instrumented. The
    interpreter is not: a race inside it, or between its code and the module's, goes unseen
    (an instrumented interpreter would cost another build of it and slow every test
    several-fold); what is checked is the module's own state under parallel callers (the
    borrow flags, the one-time state, the pool, the results)."""
    libs, tbb, norandom, common = tsan_setting(session)
    provider = ROOT / "scripts" / "interpreters.sh"
    found = subprocess.run(["bash", str(provider), "python", "cpython-3.13t"], cwd=ROOT,
                           stdout=subprocess.PIPE, text=True)
    if found.returncode or not found.stdout.strip():
        if os.environ.get("CI") == "true":
            session.error("no free-threaded interpreter for ThreadSanitizer")
        session.log("no free-threaded interpreter: its ThreadSanitizer run is left out")
        return
    os.environ["PIP_ONLY_BINARY"] = ":all:"  # as scripts/interpreters.sh installs there
    base = prepare(session, python=found.stdout.strip(), venv=BUILD / "venv-cpython-3.13t",
                   build_dir=BUILD / "module-cpython-3.13t", for_tests=True)
    python, _, reports = instrumented(session, "tsan-3.13t", "tsan", f"TBB_DIR={tbb}/lib/cmake/TBB",
                                      env=libs, base=base, cpp_tests=False)
    # The interpreter's frees and allocations of its own, synchronised by its atomics,
    # which the runtime does not see, are not the module's: interceptors report only calls
    # from instrumented code.
    env = {**libs, "LD_PRELOAD": gcc_file("libtsan.so"),
           "TSAN_OPTIONS": f"{common}:ignore_noninstrumented_modules=1:"
                           f"log_path={reports / 'tsan'}"}
    failed = False
    try:
        session.run(*norandom, python, "-W", "error", "-c",
                    "import sys, tavo; assert not sys._is_gil_enabled()", external=True, env=env)
        session.run(*norandom, python, *CHECKED, "tests/test_stress.py", *session.posargs,
                    external=True, env=env)
    except nox.command.CommandFailed:
        failed = True
    fail_on_reports(session, reports)
    if failed:
        session.error("the free-threaded interpreter failed under ThreadSanitizer")


@nox.session
def packaging(session):
    """tavo installed the three ways users get it (source, sdist, wheel), each checked."""
    session.run("bash", "scripts/check_packaging.sh", external=True)


@nox.session
def arm64(session):
    """64-bit Arm (glibc and musl) under qemu, the bit comparison between five builds, and
    the portable wheels, the musllinux ones on a musl CPython built once per machine
    (scripts/arm64.sh, which calls scripts/wheels.sh)."""
    prepare(session)
    session.run("bash", "scripts/arm64.sh", external=True, env=with_venv_path())


@nox.session
def wheels(session):
    """The portable wheels alone: `nox -s wheels -- --check manylinux-x86_64`."""
    prepare(session)
    session.run("bash", "scripts/wheels.sh", *session.posargs, external=True,
                env=with_venv_path())


@nox.session
def docs(session):
    """The documentation site (scripts/docs.sh): built with warnings as errors, its tutorials
    run as doctests, every page opened in headless Chromium."""
    prepare(session)
    session.run("bash", "scripts/docs.sh", external=True, env=with_venv_path())


@nox.session
def demo(session):
    """The demo (examples/demo.py); the figure goes to build/demo.png."""
    python = prepare(session)
    session.run(python, "examples/demo.py", *session.posargs, external=True)
