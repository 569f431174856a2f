#!/usr/bin/env python3
"""The gateway through a broker outage, measured.

tovek-sim serves station 7, whose S point and block move a step every
200 ms; the gateway polls both every 50 ms, so that it reads every step.
A subscriber with a session on a persistent mosquitto gets everything
published, with the time each message came. The broker stops; halfway
through the outage the gateway is stopped and started again; then the
broker comes back and the kept values drain.

Prints JSON: every value read, published once and in order (live before,
kept during, live after: a step of one between any two readings but at the
restart); the gateway's resident memory during the outage; the state
directory's size against buffer_max_mb; how long after the broker's return
live values flowed again.

  bench/gateway_outage.py BIN_DIR [--outage-s 600] [--buffer-max-mb 64]
"""
import argparse
import datetime
import json
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rss_kb(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def state_bytes(folder):
    total = 0
    for name in ("backlog.db", "backlog.db-wal"):
        try:
            total += os.path.getsize(os.path.join(folder, name))
        except OSError:
            pass
    return total


def epoch(iso):
    return datetime.datetime.strptime(iso, "%Y-%m-%dT%H:%M:%S.%fZ").replace(
        tzinfo=datetime.timezone.utc).timestamp()


def read_not_published(received, sim_started):
    """S values tovek-sim answered, a run of reads of one value each, that
    no message (live or kept) carries: the trace against what came."""
    published = []
    for _, topic, payload in received:
        if topic in ("qvotk/south/7/S", "qvotk/south/7/S/backlog"):
            message = json.loads(payload)
            if message.get("status") == 0:
                published.append((epoch(message["time"]), message["value"]))
    if not published:
        return None
    first, last = min(p[0] for p in published), max(p[0] for p in published)
    runs, asked = [], None
    with open("sim.trace") as trace:
        for line in trace:
            if "read S point" in line:
                asked = sim_started + float(line.split("]")[0].strip("[ ms")) / 1000
            elif asked is not None and "status ok, value " in line:
                value = int(line.rsplit(" ", 1)[1])
                if runs and runs[-1][2] == value:
                    runs[-1][1] = asked
                else:
                    runs.append([asked, asked, value])
                asked = None
    missing = [f"{time.strftime('%H:%M:%S', time.gmtime(a))} value {v}" for a, b, v in runs
               if first + 1 < a and b < last - 1
               and not any(v == value and a - 0.5 <= at <= b + 0.5 for at, value in published)]
    return {"runsRead": len(runs), "missing": missing[:20], "missingCount": len(missing)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("bin")
    parser.add_argument("--outage-s", type=int, default=600)
    parser.add_argument("--buffer-max-mb", type=float, default=64)
    parser.add_argument("--keep", action="store_true", help="keep the working folder, and what came, in it")
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="gateway-outage-")
    os.chdir(work)
    broker_port = free_port()
    with open("mosquitto.conf", "w") as conf:
        conf.write(f"listener {broker_port} 127.0.0.1\nallow_anonymous true\npersistence true\n"
                   f"persistence_location {work}/\nlog_dest none\n")

    def start_broker():
        broker = subprocess.Popen(["/usr/sbin/mosquitto", "-c", "mosquitto.conf"])
        for _ in range(100):
            if subprocess.call(["mosquitto_pub", "-p", str(broker_port), "-t", "probe", "-m", "1"],
                               stderr=subprocess.DEVNULL) == 0:
                return broker
            time.sleep(0.05)
        raise SystemExit("the broker does not start")

    broker = start_broker()
    sim = subprocess.Popen([f"{args.bin}/tovek-sim", "--station", "7", "--s-point", "7:0", "--drift-ms", "200", "-v"],
                           stdout=subprocess.PIPE, stderr=open("sim.trace", "w"), text=True)
    sim_started = time.time()  # its trace's times are from about then
    port = sim.stdout.readline().strip()
    with open("gateway.toml", "w") as conf:
        conf.write(f"""[gateway]
state_directory = "{work}/state"
[[line]]
name = "south"
port = "{port}"
timeout_ms = 50
  [[line.station]]
  address = 7
  point = [{{name = "S", interval_ms = 50}}, {{name = "block", count = 16, interval_ms = 50}}]
[mqtt]
port = {broker_port}
buffer_max_mb = {args.buffer_max_mb}
""")
    received = []  # arrival time, topic, payload

    subscriber = subprocess.Popen(
        ["mosquitto_sub", "-p", str(broker_port), "-c", "-i", "outage-watch", "-q", "1", "-t", "qvotk/south/7/#",
         "-F", "%U %t %p"], stdout=subprocess.PIPE, text=True)

    def take():
        for line in subscriber.stdout:
            at, topic, payload = line.rstrip("\n").split(" ", 2)
            received.append((float(at), topic, payload))

    threading.Thread(target=take, daemon=True).start()
    log = open("gateway.log", "a")

    def start_gateway():
        return subprocess.Popen([f"{args.bin}/qvotk-gateway", "--config", "gateway.toml"], stderr=log)

    gateway = start_gateway()
    time.sleep(20)
    samples = []  # seconds into the outage, run (1 or 2), RSS kB, state bytes
    went = time.time()
    broker.send_signal(signal.SIGTERM)
    broker.wait()
    run = 1
    while time.time() - went < args.outage_s:
        if run == 1 and time.time() - went >= args.outage_s / 2:
            gateway.send_signal(signal.SIGTERM)
            gateway.wait()
            gateway = start_gateway()
            run = 2
        samples.append((round(time.time() - went, 1), run, rss_kb(gateway.pid), state_bytes(f"{work}/state")))
        time.sleep(1)
    back = time.time()
    broker = start_broker()
    # Until the kept values have drained: no backlog message for 10 s.
    while True:
        time.sleep(1)
        kept = [at for at, topic, _ in received if topic.endswith("/backlog")]
        if kept and time.time() - kept[-1] > 10 and kept[-1] > back:
            break
        if time.time() - back > args.outage_s + 120:
            break
    gateway.send_signal(signal.SIGTERM)
    gateway.wait()
    subscriber.terminate()
    broker.terminate()
    sim.terminate()

    if args.keep:
        with open("received.txt", "w") as out:
            out.writelines(f"{at} {topic} {payload}\n" for at, topic, payload in received)
    # Each series by reading time: live and kept alike, each reading once.
    report = {"outageSeconds": args.outage_s, "bufferMaxMb": args.buffer_max_mb, "series": {}}
    for name, step_of in (("S", lambda m: m["value"]), ("block", lambda m: m["values"][0])):
        live, kept = f"qvotk/south/7/{name}", f"qvotk/south/7/{name}/backlog"
        readings, twice, kept_times = {}, {"live": [], "kept": []}, []
        seen = set()
        for _, topic, payload in received:
            if topic not in (live, kept):
                continue
            message = json.loads(payload)
            if message.get("status") != 0:
                continue
            if (topic, message["time"]) in seen:
                twice["kept" if topic == kept else "live"].append(message["time"])
            seen.add((topic, message["time"]))
            readings[message["time"]] = step_of(message)
            if topic == kept:
                kept_times.append(message["time"])
        modulus = 10 if name == "S" else 256
        times = sorted(readings)
        breaks = [f"{a} {readings[a]} -> {b} {readings[b]}" for a, b in zip(times, times[1:])
                  if readings[b] != (readings[a] + 1) % modulus]
        report["series"][name] = {
            "readings": len(times),
            "kept": len(kept_times),
            "publishedTwice": twice,
            "keptInOrder": kept_times == sorted(kept_times),
            "stepsOtherThanOne": breaks,
        }
    report["series"]["S"]["readButNotPublished"] = read_not_published(received, sim_started)
    live_after = [at for at, topic, _ in received if at > back and not topic.endswith("/backlog")]
    kept_after = [at for at, topic, _ in received if at > back and topic.endswith("/backlog")]
    report["outageFrom"] = time.strftime("%H:%M:%S", time.gmtime(went))
    report["restartAt"] = time.strftime("%H:%M:%S", time.gmtime(went + args.outage_s / 2))
    report["outageTo"] = time.strftime("%H:%M:%S", time.gmtime(back))
    report["flowingAgainSeconds"] = round(live_after[0] - back, 2) if live_after else None
    report["drainSeconds"] = round(kept_after[-1] - kept_after[0], 1) if kept_after else None
    for run in (1, 2):
        rss = [s[2] for s in samples if s[1] == run and s[2] > 2048]  # not while it execs
        if rss:
            third = max(1, len(rss) // 3)
            report[f"rssKbRun{run}"] = {"first": rss[0], "firstThirdPeak": max(rss[:third]),
                                         "lastThirdPeak": max(rss[-third:]), "last": rss[-1]}
    report["stateBytesPeak"] = max(s[3] for s in samples)
    report["stateBytesLast"] = samples[-1][3]
    report["boundBytes"] = int(args.buffer_max_mb * 1024 * 1024)
    with open("gateway.log") as text:
        report["droppedLogLines"] = sum(1 for line in text if "reached buffer_max_mb" in line)
    os.chdir("/")
    if not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    print(json.dumps(report, indent=2))
    # A run that measured nothing is no figure: it fails.
    series = report["series"].values()
    if not series or any(one["readings"] == 0 for one in series) or report["flowingAgainSeconds"] is None:
        raise SystemExit("measured nothing: no readings, or no value after the broker came back")


if __name__ == "__main__":
    main()
