"""Shared pieces of the benchmarks: data sets, timed runs, medians and the report.

The machine these run on is small and busy, so nothing here asserts a time. Every tool is
measured in the same run on the same data, round by round, and the report compares medians.
"""

import argparse
import dataclasses
import errno
import hashlib
import json
import os
import shutil
import signal
import stat
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zipfile
import zlib

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
REPO_DIR = os.path.dirname(BENCH_DIR)
OUT_DIR = os.path.join(BENCH_DIR, "out")
SETS_DIR = os.path.join(OUT_DIR, "sets")
RUN_DIR = os.path.join(OUT_DIR, "run")

MB = 1000 * 1000
MiB = 1024 * 1024
GiB = 1024 * MiB

# Settings the outside tools read from the environment would make the comparison unfair.
TOOL_ENV_VARS = ("ZIP", "ZIPOPT", "UNZIP", "UNZIPOPT", "UNZIP_OPTS")


def say(*parts):
    print(*parts, flush=True)


def tarvo_cli():
    default = os.path.join(REPO_DIR, "build", "src", "app", "tarvo-cli")
    return os.path.abspath(os.environ.get("TARVO_CLI") or default)


def tool_env():
    env = dict(os.environ)
    for name in TOOL_ENV_VARS:
        env.pop(name, None)
    env["LC_ALL"] = "C.UTF-8"
    return env


def parse_args(description, default_runs=5, quick_runs=2):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--runs", type=int, help=f"timed runs per tool (default {default_runs})")
    parser.add_argument(
        "--quick",
        action="store_true",
        help=f"small data sets and {quick_runs} runs, to check that the script works",
    )
    parser.add_argument(
        "--keep", action="store_true", help="keep the last run's outputs under bench/out/run"
    )
    parser.add_argument(
        "--timeout", type=float, default=900, help="seconds before a run counts as hung"
    )
    parser.add_argument(
        "--run-dir",
        help="where the runs write (default bench/out/run); another file system is timed there",
    )
    args = parser.parse_args()
    if args.run_dir:
        global RUN_DIR
        RUN_DIR = os.path.abspath(args.run_dir)
    if args.runs is None:
        args.runs = quick_runs if args.quick else default_runs
    if args.runs < 1:
        parser.error("--runs must be at least 1")
    return args


# ---------------------------------------------------------------------------------------------
# Data sets: real files from this machine, picked in sorted order so every build of a set holds
# the same files, and cached under bench/out/sets because copying them is slow.


def sorted_regular_files(root, min_size=0, max_size=None, suffixes=None):
    """Yield (path, size) of regular files under root, walking in sorted order, no links."""
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames.sort()
        for name in sorted(filenames):
            if suffixes and not name.endswith(suffixes):
                continue
            path = os.path.join(dirpath, name)
            try:
                info = os.lstat(path)
            except OSError:
                continue
            if not stat.S_ISREG(info.st_mode) or not os.access(path, os.R_OK):
                continue
            if info.st_size < min_size or (max_size is not None and info.st_size > max_size):
                continue
            yield path, info.st_size


def python_roots():
    return sorted(
        os.path.join("/usr/lib", name)
        for name in os.listdir("/usr/lib")
        if name.startswith("python3") and os.path.isdir(os.path.join("/usr/lib", name))
    )


def tree_roots():
    roots = ["/usr/share/doc", "/usr/include", "/usr/share/locale"] + python_roots()
    return [root for root in roots if os.path.isdir(root)]


def root_label(root):
    # /usr/share/doc -> share-doc: short, unique, and says where the files came from.
    return root.removeprefix("/usr/").replace("/", "-")


def file_digests(path):
    sha = hashlib.sha256()
    crc = 0
    with open(path, "rb") as source:
        while block := source.read(MiB):
            sha.update(block)
            crc = zlib.crc32(block, crc)
    return sha.hexdigest(), crc


def sha256_of(path):
    return file_digests(path)[0]


def build_manifest(content_dir):
    """Map of path (relative to content_dir, '/'-separated) to size, sha256 and CRC-32."""
    files = {}
    for path, size in sorted_regular_files(content_dir):
        sha, crc = file_digests(path)
        relative = os.path.relpath(path, content_dir).replace(os.sep, "/")
        files[relative] = {"size": size, "sha256": sha, "crc32": crc}
    return files


@dataclasses.dataclass
class DataSet:
    name: str
    folder: str  # the set's folder in the cache
    payload: str  # name of the one file or folder inside content/
    files: dict  # manifest: relative path -> size, sha256, crc32
    description: str

    @property
    def content(self):
        return os.path.join(self.folder, "content")

    @property
    def payload_path(self):
        return os.path.join(self.content, self.payload)

    @property
    def total_bytes(self):
        return sum(entry["size"] for entry in self.files.values())


def cached_set(name, payload, make_content, describe):
    """Return the set from the cache, or build it with make_content(content_dir) first.

    The set is built in a scratch folder and renamed into place only when complete, so a run
    that is interrupted half-way leaves nothing that looks like a finished set.
    """
    folder = os.path.join(SETS_DIR, name)
    manifest_path = os.path.join(folder, "manifest.json")
    if not os.path.exists(manifest_path):
        os.makedirs(SETS_DIR, exist_ok=True)
        say(f"preparing data set {name} (once; cached in {os.path.relpath(folder, REPO_DIR)})")
        scratch = folder + ".partial"
        shutil.rmtree(scratch, ignore_errors=True)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(os.path.join(scratch, "content"))
        make_content(os.path.join(scratch, "content"))
        files = build_manifest(os.path.join(scratch, "content"))
        with open(os.path.join(scratch, "manifest.json"), "w") as out:
            json.dump({"payload": payload, "files": files}, out, indent=0, sort_keys=True)
        os.rename(scratch, folder)
    with open(manifest_path) as source:
        manifest = json.load(source)
    data_set = DataSet(name, folder, manifest["payload"], manifest["files"], "")
    data_set.description = describe(data_set)
    return data_set


def describe_tree(data_set):
    return f"{len(data_set.files):,} real files, {data_set.total_bytes / MB:.1f} MB"


def describe_single(data_set):
    return f"one real file of {data_set.total_bytes / MB:.1f} MB"


def tree_set(max_bytes, max_files, max_file_size=256 * 1000):
    """A folder of real files copied from documentation, headers, translations and Python.

    Each root is walked in sorted order, and the next file always comes from the root that has
    given the fewest bytes so far, so every root gives about the same share whatever the
    budget. Files over max_file_size are passed over to keep the folder one of many small files.
    """
    name = f"tree-{max_bytes // MB}MB-{max_files}-{max_file_size // 1000}k"

    def make(content):
        tree = os.path.join(content, "tree")
        walkers = [
            [0, index, root, sorted_regular_files(root, max_size=max_file_size)]
            for index, root in enumerate(tree_roots())
        ]
        total = count = 0
        while walkers and total < max_bytes and count < max_files:
            walker = min(walkers, key=lambda entry: (entry[0], entry[1]))
            _, _, root, files = walker
            picked = next(files, None)
            if picked is None:
                walkers.remove(walker)
                continue
            path, size = picked
            target = os.path.join(tree, root_label(root), os.path.relpath(path, root))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(path, target)
            walker[0] += size
            total += size
            count += 1

    return cached_set(name, "tree", make, describe_tree)


def single_file_set(size):
    """One file made of real binaries from /usr/lib and real text, about half of each.

    One library, then text until the text has caught up, and so on: compressors see the same
    changing mix of code and prose that a large real file would give them.
    """
    name = f"single-{size // MB}MB"

    def make(content):
        multiarch = sorted(
            os.path.join("/usr/lib", entry)
            for entry in os.listdir("/usr/lib")
            if entry.endswith("-linux-gnu")
        )
        binaries = (
            path
            for root in multiarch
            for path, _ in sorted_regular_files(root, min_size=64 * 1024, max_size=8 * MB)
        )
        texts = (
            path
            for root in python_roots() + ["/usr/include"]
            for path, _ in sorted_regular_files(root, min_size=1024, suffixes=(".py", ".h"))
        )
        written = {"binary": 0, "text": 0}

        def append(out, path, kind):
            with open(path, "rb") as source:
                data = source.read(size - out.tell())
            out.write(data)
            written[kind] += len(data)

        with open(os.path.join(content, "single.bin"), "wb") as out:
            while out.tell() < size:
                binary = next(binaries, None)
                if binary:
                    append(out, binary, "binary")
                while out.tell() < size and written["text"] < written["binary"]:
                    text = next(texts, None)
                    if text is None:
                        break
                    append(out, text, "text")
                if binary is None and out.tell() < size:
                    text = next(texts, None)
                    if text is None:
                        break  # the machine has less than asked for; use what there is
                    append(out, text, "text")

    return cached_set(name, "single.bin", make, describe_single)


@dataclasses.dataclass
class ArchiveSet:
    source: DataSet
    path: str  # the archive in the cache

    @property
    def size(self):
        return os.path.getsize(self.path)


def info_zip_archive(data_set, stem):
    """The set zipped by Info-ZIP with BZIP2, cached beside the set."""
    path = os.path.join(data_set.folder, f"{stem}.zip")
    if not os.path.exists(path):
        say(f"zipping data set {data_set.name} with Info-ZIP (once)")
        partial = os.path.join(data_set.folder, f"{stem}.partial.zip")
        if os.path.exists(partial):
            os.remove(partial)
        subprocess.run(
            ["zip", "-r", "-q", "-Z", "bzip2", partial, data_set.payload],
            cwd=data_set.content,
            env=tool_env(),
            check=True,
        )
        os.rename(partial, path)
    return ArchiveSet(data_set, path)


def read_through(paths):
    """Read the inputs once so the first timed tool does not pay for a cold page cache."""
    for path in paths:
        with open(path, "rb") as source:
            while source.read(4 * MiB):
                pass


def set_files(data_set):
    return [os.path.join(data_set.content, relative) for relative in data_set.files]


def hardlink_copy(source, target):
    """Make target a copy of source that shares its files (same inodes, same page cache).

    On another file system, a file is copied instead.
    """
    if os.path.isfile(source):
        os.makedirs(os.path.dirname(target), exist_ok=True)
        try:
            os.link(source, target)
        except OSError as error:
            if error.errno != errno.EXDEV:
                raise
            shutil.copy2(source, target)
        return
    for dirpath, _, filenames in os.walk(source):
        into = os.path.join(target, os.path.relpath(dirpath, source))
        os.makedirs(into, exist_ok=True)
        shutil.copystat(dirpath, into)
        for name in filenames:
            os.link(os.path.join(dirpath, name), os.path.join(into, name))


def remove_path(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)


def remove_if_empty(folder):
    try:
        os.rmdir(folder)
    except OSError:
        pass  # missing, or holds what --keep kept


def empty_folder(folder, keep=()):
    """Remove everything in folder except the names in keep; create folder if missing."""
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(folder):
        if name not in keep:
            remove_path(os.path.join(folder, name))


# ---------------------------------------------------------------------------------------------
# Checking results (never timed).


def compare_tree(root, data_set):
    """None when root holds exactly the set's files with the same content, else what differs."""
    if not os.path.isdir(root):
        return f"no output folder {root}"
    found = {
        os.path.relpath(path, root).replace(os.sep, "/"): size
        for path, size in sorted_regular_files(root)
    }
    missing = sorted(set(data_set.files) - set(found))
    extra = sorted(set(found) - set(data_set.files))
    differing = [
        relative
        for relative in sorted(set(found) & set(data_set.files))
        if found[relative] != data_set.files[relative]["size"]
        or sha256_of(os.path.join(root, relative)) != data_set.files[relative]["sha256"]
    ]
    problems = []
    for label, names in (("missing", missing), ("unexpected", extra), ("differing", differing)):
        if names:
            problems.append(f"{len(names)} {label} (e.g. {names[0]})")
    return "; ".join(problems) or None


def check_archive(path, data_set, name_prefix=""):
    """None when the archive tests sound and lists exactly the set's files, else what differs.
    name_prefix is put before every listed name: an archive of a folder's contents names its
    entries relative to the folder, without the folder's own name."""
    if not os.path.isfile(path):
        return f"no archive {path}"
    tested = subprocess.run(
        ["unzip", "-tqq", path],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        env=tool_env(),
    )
    if tested.returncode != 0:
        return f"unzip -t failed (exit {tested.returncode}): {tail(tested.stdout)}"
    try:
        with zipfile.ZipFile(path) as archive:
            listed = {
                name_prefix + info.filename: info
                for info in archive.infolist()
                if not info.filename.endswith("/")
            }
    except (zipfile.BadZipFile, OSError) as error:
        return f"unreadable archive: {error}"
    missing = sorted(set(data_set.files) - set(listed))
    extra = sorted(set(listed) - set(data_set.files))
    differing = [
        name
        for name in sorted(set(listed) & set(data_set.files))
        if listed[name].file_size != data_set.files[name]["size"]
        or listed[name].CRC != data_set.files[name]["crc32"]
    ]
    problems = []
    for label, names in (
        ("missing", missing),
        ("unexpected", extra),
        ("differing", differing),
    ):
        if names:
            problems.append(f"{len(names)} {label} (e.g. {names[0]})")
    return "; ".join(problems) or None


# ---------------------------------------------------------------------------------------------
# Timed runs.


def tail(data, lines=6, chars=600):
    if isinstance(data, bytes):
        data = data.decode("utf-8", "replace")
    text = "\n".join(data.strip().splitlines()[-lines:])
    return text[-chars:] if len(text) > chars else text


@dataclasses.dataclass
class RunResult:
    seconds: float
    exit_code: int | None  # None when it could not start or was killed for hanging
    user_seconds: float = 0.0
    system_seconds: float = 0.0
    peak_rss_kib: int = 0
    error: str = ""  # why the run does not count, empty when it does

    @property
    def ok(self):
        return not self.error

    @property
    def cpu_seconds(self):
        return self.user_seconds + self.system_seconds


GNU_TIME = "/usr/bin/time"


def gnu_time_works():
    """Whether GNU time can report a child's peak RSS (checked once)."""
    if not hasattr(gnu_time_works, "answer"):
        try:
            probe = subprocess.run(
                [GNU_TIME, "-f", "%M", "true"], capture_output=True, text=True, timeout=30
            )
            gnu_time_works.answer = probe.returncode == 0 and probe.stderr.strip().isdigit()
        except (OSError, subprocess.SubprocessError):
            gnu_time_works.answer = False
    return gnu_time_works.answer


def describe_exit(code, wrapped):
    if code < 0:
        return f"killed by signal {-code}"
    if wrapped and code > 128:
        return f"exit code {code} (as from signal {code - 128})"
    return f"exit code {code}"


def run_timed(argv, cwd, timeout):
    """Run argv once and measure wall time, CPU time and the peak resident size of that child.

    The peak RSS comes from GNU time wrapped around the command: the high-water mark the
    kernel keeps for a child counts the memory of the process it was forked from, which for a
    child of this script would be Python's own. The wrapper costs about a millisecond, the same
    for every tool. Without GNU time the figure falls back to os.wait4 and includes that floor.
    """
    if shutil.which(argv[0]) is None:
        return RunResult(0.0, None, error=f"could not start {argv[0]}: not an executable program")
    with tempfile.TemporaryFile() as stderr, tempfile.NamedTemporaryFile("r") as rss_file:
        wrapped = gnu_time_works()
        if wrapped:
            argv = [GNU_TIME, "-q", "-o", rss_file.name, "-f", "%M"] + list(argv)
        start = time.perf_counter()
        try:
            child = subprocess.Popen(
                argv,
                cwd=cwd,
                env=tool_env(),
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                stderr=stderr,
                start_new_session=True,  # a hung run can be stopped with everything it started
            )
        except OSError as error:
            return RunResult(0.0, None, error=f"could not start {argv[0]}: {error}")
        hung = threading.Event()

        def stop_hung_run():
            hung.set()
            try:
                os.killpg(child.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

        watchdog = threading.Timer(timeout, stop_hung_run)
        watchdog.start()
        try:
            _, status, usage = os.wait4(child.pid, 0)
        finally:
            watchdog.cancel()
        seconds = time.perf_counter() - start
        child.returncode = os.waitstatus_to_exitcode(status)  # reaped here, not by Popen
        stderr.seek(0)
        errors = stderr.read()
        peak_rss = usage.ru_maxrss
        if wrapped:
            # GNU time writes "Command exited with non-zero status N" first when it fails.
            lines = rss_file.read().split()
            peak_rss = int(lines[-1]) if lines and lines[-1].isdigit() else 0
    result = RunResult(
        seconds,
        child.returncode,
        user_seconds=usage.ru_utime,
        system_seconds=usage.ru_stime,
        peak_rss_kib=peak_rss,
    )
    if hung.is_set():
        result.exit_code = None
        result.error = f"killed after {timeout:.0f} s without finishing"
    elif child.returncode != 0:
        result.error = f"{describe_exit(child.returncode, wrapped)} after {seconds:.2f} s"
    if result.error and errors.strip():
        result.error += "; stderr: " + tail(errors).replace("\n", " | ")
    return result


class Contender:
    """One tool in one case: how to run it, and the untimed work before and after a run."""

    name = "?"

    def prepare(self):
        """Once, before the first round."""

    def before_run(self):
        """Before every run: leave no output from an earlier run behind."""

    def command(self):
        """(argv, cwd) of the timed run."""
        raise NotImplementedError

    def check(self):
        """After a successful run: None when the output is right, else what is wrong."""
        return None

    def output_size(self):
        return None

    def after_run(self):
        """After every run, the last one too unless --keep."""

    def finish(self, keep):
        """Once, after the last round."""


@dataclasses.dataclass
class ToolStats:
    name: str
    runs: list = dataclasses.field(default_factory=list)  # successful RunResults
    failure: str = ""  # the first failure; the tool is not timed after it
    output_size: int | None = None

    @property
    def median(self):
        return statistics.median(run.seconds for run in self.runs) if self.runs else None

    @property
    def median_user(self):
        return statistics.median(run.user_seconds for run in self.runs) if self.runs else None

    @property
    def median_system(self):
        return statistics.median(run.system_seconds for run in self.runs) if self.runs else None

    @property
    def peak_rss_kib(self):
        return max(run.peak_rss_kib for run in self.runs) if self.runs else None


def settle():
    # Write back what earlier runs left dirty, so it is not charged to the next tool.
    os.sync()


def run_rounds(case, contenders, args):
    """Time every contender args.runs times, interleaved, and return {name: ToolStats}.

    The order rotates each round so no tool always runs first (or right after a given other).
    A tool that fails or writes a wrong result is reported and not timed again.
    """
    stats = {contender.name: ToolStats(contender.name) for contender in contenders}
    for contender in contenders:
        contender.prepare()
    for round_index in range(args.runs):
        shift = round_index % len(contenders)
        order = contenders[shift:] + contenders[:shift]
        line = []
        for contender in order:
            tool = stats[contender.name]
            if tool.failure:
                continue
            contender.before_run()
            settle()
            argv, cwd = contender.command()
            result = run_timed(argv, cwd, args.timeout)
            if result.ok:
                problem = contender.check()
                if problem:
                    result.error = f"finished with exit code 0 but its output is wrong: {problem}"
            if result.ok:
                tool.runs.append(result)
                tool.output_size = contender.output_size()
                line.append(f"{contender.name} {result.seconds:.2f}s")
            else:
                tool.failure = result.error
                line.append(f"{contender.name} FAILED")
            last_round = round_index == args.runs - 1
            if not (last_round and args.keep and result.ok):
                contender.after_run()
        say(f"  {case} round {round_index + 1}/{args.runs}: " + ", ".join(line))
    for contender in contenders:
        contender.finish(args.keep)
    return stats


# ---------------------------------------------------------------------------------------------
# The report.


@dataclasses.dataclass
class Target:
    """'tool takes at most limit x other' (or strictly less, when strict)."""

    case: str
    tool: str
    other: str
    limit: float
    strict: bool = False
    measure: str = "time"  # or "sys" (system seconds) or "size"


def value_of(tool_stats, measure):
    if measure == "sys":
        return tool_stats.median_system
    return tool_stats.median if measure == "time" else tool_stats.output_size


def evaluate(target, results):
    """(ratio or None, 'PASS' | 'MISS' | 'n/a', note)."""
    stats = results[target.case]
    mine, theirs = stats[target.tool], stats[target.other]
    for tool in (mine, theirs):
        if tool.failure or value_of(tool, target.measure) is None:
            return None, "MISS" if tool is mine else "n/a", f"{tool.name} failed"
    ratio = value_of(mine, target.measure) / value_of(theirs, target.measure)
    met = ratio < target.limit if target.strict else ratio <= target.limit
    return ratio, "PASS" if met else "MISS", ""


def print_table(headers, rows):
    widths = [max(len(str(cell)) for cell in column) for column in zip(headers, *rows)]
    for row in [headers] + rows:
        cells = []
        for index, cell in enumerate(row):
            text = str(cell)
            # First column reads left to right; figures line up on the right.
            cells.append(text.ljust(widths[index]) if index == 0 else text.rjust(widths[index]))
        say("  " + "  ".join(cells).rstrip())


def format_ratio(ratio, measure):
    # Sizes are judged against 1.01, so they need the third decimal.
    if ratio is None:
        return "-"
    return f"{ratio:.3f}" if measure == "size" else f"{ratio:.2f}"


def format_seconds(value):
    return "-" if value is None else f"{value:.2f} s"


def format_rss(kib):
    return "-" if kib is None else f"{kib / 1024:.0f} MiB"


def format_size(size):
    return "-" if size is None else f"{size / MB:.2f} MB"


def report(title, cases, results, targets, size_base=None):
    """Print the medians, failures and targets; return the exit status (0 only if all PASS).

    With size_base, the table also shows each tool's output size and its ratio to that tool's.
    """
    say("")
    say(title)
    for case, description in cases.items():
        say(f"\n{case}: {description}")
        # On some disks creating a file costs far more than elsewhere; the system seconds show it.
        headers = ["tool", "median", "min", "max", "runs", "user", "sys", "peak RSS"]
        if size_base:
            headers += ["archive", f"size/{size_base}"]
        base_size = results[case][size_base].output_size if size_base else None
        rows = []
        for tool in results[case].values():
            times = [run.seconds for run in tool.runs]
            row = [
                tool.name,
                format_seconds(tool.median),
                format_seconds(min(times) if times else None),
                format_seconds(max(times) if times else None),
                str(len(times)),
                format_seconds(tool.median_user),
                format_seconds(tool.median_system),
                format_rss(tool.peak_rss_kib),
            ]
            if size_base:
                row.append(format_size(tool.output_size))
                ratio = tool.output_size / base_size if tool.output_size and base_size else None
                row.append("-" if ratio is None else f"{ratio:.3f}")
            rows.append(row)
        print_table(headers, rows)
        for tool in results[case].values():
            if tool.failure:
                say(f"  {tool.name} FAILED: {tool.failure}")
    say("\ntargets (ratios of medians):")
    rows = []
    all_met = True
    for target in targets:
        ratio, verdict, note = evaluate(target, results)
        all_met = all_met and verdict == "PASS"
        what = target.measure
        sign = "<" if target.strict else "<="
        rows.append(
            [
                f"{target.case}  {what} {target.tool}/{target.other}",
                format_ratio(ratio, target.measure),
                f"{sign} {target.limit:.2f}",
                verdict,
                note,
            ]
        )
    print_table(["ratio", "value", "target", "", ""], rows)
    load = os.getloadavg()
    busy = f" (above {os.cpu_count()}: other work was sharing the cores)"
    say(
        f"\nload average at the end: {load[0]:.1f} {load[1]:.1f} {load[2]:.1f}"
        + (busy if load[0] > os.cpu_count() else "")
    )
    say("result: " + ("all targets met" if all_met else "some targets missed or a tool failed"))
    return 0 if all_met else 1


def start(title, args):
    say(f"{title}: {args.runs} run(s) per tool{', quick data sets' if args.quick else ''}")
    cli = tarvo_cli()
    if not os.access(cli, os.X_OK):
        say(f"note: no tarvo-cli at {cli}; run 'make build' or set TARVO_CLI")
    else:
        say(f"tarvo-cli: {cli}")
    load = os.getloadavg()
    say(f"load average at the start: {load[0]:.1f} {load[1]:.1f} {load[2]:.1f}")
    for tool in ("zip", "unzip", "7zz"):
        if shutil.which(tool) is None:
            sys.exit(f"{tool} is not installed; 'make deps' installs it")
