"""RESULTS.md and results.png from a list of Results."""


def _num(x):
    if x is None:
        return "-"
    if abs(x) >= 100:
        return f"{x:,.0f}"
    if abs(x) >= 10:
        return f"{x:.1f}"
    return f"{x:.3g}" if abs(x) < 1 else f"{x:.2f}"


def line(r):
    base = f" vs {_num(r.baseline_value)} {r.baseline_name}" if r.baseline_name else ""
    ratio = f"  ratio {r.ratio:.2f}" if r.ratio is not None else ""
    return f"[{r.status:4}] {r.name}: {_num(r.value)} {r.unit}{base}{ratio}"


def write_markdown(path, results, info):
    out = ["# Benchmark results", ""]
    out.append(f"- Date: {info['date']}")
    out.append(f"- Machine: `{info['uname']}`")
    out.append(f"- CPU: {info['cpu']}, {info['cores']} cores")
    out.append(f"- Python {info['python']}; {info['versions']}")
    out.append(f"- Run: {info['mode']}, {info['elapsed']:.0f} s; `make bench` "
               "(`.venv/bin/python bench/run.py`)")
    out.append(f"- Machine load during the run: {info['load']}")
    out.append("")
    out.append("Each figure is the median of several runs in one process; its baseline was "
               "measured in the same run. Ratios follow the goal: for time goals (<=) the "
               "ratio is drelix's time over the baseline's, for throughput goals (>=) drelix's "
               "throughput over the baseline's; for memory the measured peak over the budget.")
    out.append("")
    group = None
    for r in results:
        if r.group != group:
            group = r.group
            out += ["", f"## {group}", "",
                    "| figure | drelix | baseline | ratio | goal | result | notes |",
                    "|---|---|---|---|---|---|---|"]
        base = (f"{_num(r.baseline_value)} {r.unit} ({r.baseline_name})"
                if r.baseline_name else "-")
        ratio = f"{r.ratio:.2f}" if r.ratio is not None else "-"
        out.append(f"| {r.name} | {_num(r.value)} {r.unit} | {base} | {ratio} | "
                   f"{r.goal_text or '-'} | {r.status} | {r.note} |")
    sweep = next((r.extra["sweep"] for r in results if "sweep" in r.extra), None)
    if sweep:
        out += ["", "## Throughput against record size (results.png)", "",
                "Write is end to end: create, every record appended from Python, then the "
                "compression and close each library does (drelix: seal at level 3, one frame; "
                "fastavro: zstandard level 3; pyarrow: zstd at its default level). Read is every "
                "record back (drelix: bytes per record; fastavro: dict per record; pyarrow: a "
                "columnar Table). 500,000 records per point in a full run.", "",
                "| record size | library | write k records/s | read k records/s | "
                "bytes/record on disk |", "|---|---|---|---|---|"]
        from figures import LIB_NAMES
        for size, libs in sweep.items():
            for lib, (w, r, per) in libs.items():
                out.append(f"| {size} | {LIB_NAMES[lib]} | {w / 1e3:,.0f} | {r / 1e3:,.0f} | "
                           f"{per:.2f} |")
    findings = _kept_findings(path)
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")
        if findings:
            f.write("\n" + findings)


FINDINGS_MARK = "<!-- findings: written by hand, kept when the tables are regenerated -->"


def _kept_findings(path):
    """The hand-written analysis at the end of an existing report, marker line included."""
    try:
        with open(path) as f:
            text = f.read()
    except OSError:
        return ""
    at = text.find(FINDINGS_MARK)
    return text[at:] if at >= 0 else ""


def write_plot(path, results):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from figures import LIB_NAMES

    sweep = next((r.extra["sweep"] for r in results if "sweep" in r.extra), None)
    fig, axes = plt.subplots(1, 2, figsize=(12, 4.8))
    if sweep:
        sizes = sorted(sweep)
        for lib in next(iter(sweep.values())):
            axes[0].plot(sizes, [sweep[s][lib][0] / 1e6 for s in sizes], marker="o",
                         label=LIB_NAMES[lib])
            axes[1].plot(sizes, [sweep[s][lib][1] / 1e6 for s in sizes], marker="o",
                         label=LIB_NAMES[lib])
    for ax, title in zip(axes, ("write from Python, compression and close included", "read back")):
        ax.set_title(title)
        ax.set_xlabel("record size, bytes")
        ax.set_ylabel("million records/s")
        ax.set_xscale("log", base=2)
        ax.set_yscale("log")
        ax.grid(True, which="both", alpha=0.3)
    if sweep:
        axes[0].legend(fontsize=8)
    else:
        for ax in axes:
            ax.text(0.5, 0.5, "no record-size sweep in this run", ha="center",
                    transform=ax.transAxes)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
