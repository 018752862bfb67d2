#!/usr/bin/env python3
"""Fault runs over the card model, each a test of its own:

  kill_receiver  kill -9 of a receiver (channel 3) mid-stream and its restart:
                 no bring-up; across the kill no quote twice and none lost
                 beyond the block the killed recorder had not yet written
  kill_channel0  kill -9 of channel 0 during the snapshot phase and its
                 restart: the card is brought up, quotes flow on another channel
  full_ring      a stopped receiver whose ring fills: refusals counted by the
                 card, the loss and the stale backlog reported by the receiver,
                 nothing torn or reordered afterwards
  kill_replay    kill -9 of a card process replaying (in the middle of its
                 batches) and a second one at full speed of the same file:
                 the receiver's recording is whole records of a prefix of the
                 source, then the whole source

fault_runs.py SCENARIO BUILD_DIR CONFIG   (BUILD_DIR holds tools/ and cardsim/)
Waits use deadlines; a deadline passed fails the run, speed never does.
"""
import csv
import os
import struct
import re
import signal
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "common"))
from kest_checks import channel_config, check, output, sample_config, wait_for  # noqa: E402
import kest_checks  # noqa: E402

scenario, build, sample = sys.argv[1], os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3])
tool = {n: os.path.join(build, "tools", n, n) for n in ("kest-md-recv", "kest-card-sim", "kest-card-ctl", "kest-record")}
env = kest_checks.model_env(build, f"faults.{scenario}")
work = tempfile.mkdtemp(prefix=f"kest-fault-{scenario}.")


def run(*args):
    return kest_checks.run(*args, env=env, cwd=work)


def ring(channel):
    return kest_checks.ring(tool["kest-card-ctl"], channel, env=env, cwd=work)


def drained(*channels):
    """Waits until the card's rings of these channels are empty: every quote the
    stopped card wrote has reached its receiver, however slow the machine."""
    wait_for(f"the rings of channels {channels} drained", lambda: all((ring(c) or [1])[0] == 0 for c in channels))


def card(channel, insts, rate, *create, **settings):
    """The configurations of channel 0 (the sample's [config], logging everything, receiving cu) and of CHANNEL,
    receiving INSTS; card 0 of the model created with the options CREATE, simulated at RATE quotes a second."""
    lists = {0: "cu", channel: insts}
    sample_config(os.path.join(work, "ch0.ini"), sample, {c: f"insts={i}\noptions=norecv" for c, i in lists.items()},
                  crc_mux_check=0, log_level=7, **settings)
    channel_config(os.path.join(work, f"ch{channel}.ini"), channel)
    run(tool["kest-card-ctl"], "create", "0", *create)
    return card_sim("sim", "--rate", str(rate))


def receiver(channel, name, *extra):
    return start(name, tool["kest-md-recv"], os.path.join(work, f"ch{channel}.ini"), "--quiet", *extra)


def card_sim(name, *extra):
    return start(name, tool["kest-card-sim"], "--stats", "1", *extra)


def start(name, *args):
    return kest_checks.start(work, name, args, env=env)


def quotes_written(sim_out, channel):
    m = re.findall(rf"channel +{channel}: quotes (\d+) refused (\d+)", sim_out)
    return (int(m[-1][0]), int(m[-1][1])) if m else (None, None)


def summary_count(p):
    m = re.search(r"channel \d+: (\d+) quotes", output(p))
    return int(m.group(1)) if m else None


def loss_line(p):
    m = re.search(r"missing quotes \(change-number gaps\): (\d+) in (\d+) gaps; out of order: (\d+)", output(p))
    return tuple(int(x) for x in m.groups()) if m else (None, None, None)


def stop(p, sig=signal.SIGINT, seconds=60):
    if not kest_checks.stop(p, sig, seconds):
        check(False, f"{p.name} ended within {seconds} s of its signal")


def up(ch0):
    return wait_for("channel 0 brought the card up", lambda: "logical start" in output(ch0))


def received_so_far(channel):
    waiting, pushed, _ = ring(channel) or (0, 0, 0)
    return pushed - waiting


def records(path):
    rows = csv.DictReader(run(tool["kest-record"], "csv", path).stdout.splitlines())
    return [((r["type_card_record_type"], r["inst_id"]), int(r["change_no"])) for r in rows]


def kill_receiver():
    # The 4ps feeds only: they carry every change of a contract, so that the
    # change numbers account for every quote (the 2ps feeds step over what
    # they conflate). Every future: a contract changes four times a second
    # at most, so a few products would take minutes to fill the check.
    sim = card(3, "all", 3000, shfe2ps="disabled", ine2ps="disabled")
    ch0 = receiver(0, "ch0")
    if not up(ch0):
        return
    a = receiver(3, "ch3-a", "--record", os.path.join(work, "a.kestrec"))
    wait_for("channel 3 receiving", lambda: received_so_far(3) > 8000)
    stop(a, signal.SIGKILL)  # mid-stream
    b = receiver(3, "ch3-b", "--record", os.path.join(work, "b.kestrec"))
    wait_for("channel 3 receiving again", lambda: received_so_far(3) > 20000)
    stop(sim, signal.SIGTERM)
    drained(0, 3)
    stop(b)
    stop(ch0)
    written, refused = quotes_written(output(sim), 3)
    ra, rb = records(os.path.join(work, "a.kestrec")), records(os.path.join(work, "b.kestrec"))
    check(written is not None and refused == 0, f"card wrote {written} quotes to channel 3, refused {refused}")
    check("FPGA Init" not in output(b), "the restarted receiver made no bring-up")
    unwritten = written - len(ra) - len(rb)
    check(0 <= unwritten < 256 + 1,
          f"quotes the card wrote = recorded before the kill ({len(ra)}) + after ({len(rb)}) + "
          f"{unwritten} taken by the killed receiver but not yet in its file (at most one block, 256)")
    last_a = dict(ra)  # each contract's last change number before the kill
    seen_b = {}
    dup = 0
    for i, (key, n) in enumerate(rb):
        # The one message in the killed receiver's hands may come again (it
        # was not released); anything else again is a duplicate.
        in_flight = i == 0 and ra and (key, n) == ra[-1]
        if key not in seen_b and key in last_a and n <= last_a[key] and not in_flight:
            dup += 1
        seen_b.setdefault(key, n)
    check(dup == 0, f"no quote of the restarted receiver repeats one recorded before the kill ({dup})")
    gaps = 0
    merged = {}
    for key, n in ra + rb:
        if key in merged and n > merged[key] + 1:
            gaps += n - merged[key] - 1
        merged[key] = n
    check(gaps == unwritten, f"change-number gaps across the kill ({gaps}) are exactly the unwritten block ({unwritten})")
    missing, _, backwards = loss_line(b)
    check(missing == 0 and backwards == 0, f"the restarted receiver saw no gap and no reordering ({missing}, {backwards})")


def kill_channel0():
    sim = card(5, "al,au,ag", 2000)
    first = receiver(0, "ch0-a")
    wait_for("channel 0 in the snapshot phase", lambda: "listening tcp basement data" in output(first))
    stop(first, signal.SIGKILL)
    check("logical start" not in output(first), "channel 0 was killed before its bring-up ended")
    again = receiver(0, "ch0-b")
    if not up(again):
        return
    ch5 = receiver(5, "ch5")
    wait_for("quotes on channel 5 after the restart", lambda: received_so_far(5) > 5000)
    stop(sim, signal.SIGTERM)
    drained(0, 5)
    stop(ch5)
    stop(again)
    check((summary_count(ch5) or 0) > 5000, f"channel 5 received {summary_count(ch5)} quotes")
    check((summary_count(again) or 0) > 0, f"the restarted channel 0 received {summary_count(again)} quotes")


def full_ring():
    sim = card(5, "al,au,ag,rb,ru", 2000, "--a2c-ring-bytes", "65536")
    ch0 = receiver(0, "ch0")
    if not up(ch0):
        return
    ch5 = receiver(5, "ch5", "--record", os.path.join(work, "ch5.kestrec"), "--stale-ms", "1000")
    wait_for("quotes on channel 5", lambda: received_so_far(5) > 2000)
    ch5.send_signal(signal.SIGSTOP)
    wait_for("the stopped receiver's ring refusing quotes", lambda: (ring(5) or [0, 0, 0])[2] > 1000)
    time.sleep(2)
    ch5.send_signal(signal.SIGCONT)
    before = received_so_far(5)
    wait_for("channel 5 receiving again", lambda: received_so_far(5) > before + 3000)
    stop(sim, signal.SIGTERM)
    drained(0, 5)
    stop(ch5)
    stop(ch0)
    written, refused = quotes_written(output(sim), 5)
    check(refused is not None and refused > 1000, f"the card counted {refused} quotes refused on channel 5")
    check((ring(5) or [0, 0, -1])[2] == refused, "kest-card-ctl status shows the same refusals for channel 5")
    got = summary_count(ch5)
    check(got == written, f"the receiver got every quote the ring accepted ({got} of {written})")
    missing, _, backwards = loss_line(ch5)
    check(missing is not None and 0 < missing <= refused,
          f"the receiver reports {missing} quotes missing, at most the {refused} refused")
    check(backwards == 0, "nothing reordered")
    check(re.search(r"quotes missing in \d+ change-number gaps", output(ch5, "err")) is not None,
          "the loss was reported while running")
    stale = re.search(r"stale on arrival \(older than 1000 ms\): (\d+) quotes", output(ch5))
    n_stale = int(stale.group(1)) if stale else -1
    check(0 < n_stale < (got or 0), f"the backlog counted stale, fresh quotes not ({n_stale} of {got})")
    rows = records(os.path.join(work, "ch5.kestrec"))
    check(len(rows) == written, f"recording holds {len(rows)} whole quotes")
    torn = sum(1 for (kind, inst), _ in rows if not re.fullmatch(r"[a-z]{2}[0-9A-Z]*", inst))
    check(torn == 0, f"every recorded quote well formed ({torn} not)")


def write_recording(path, count):
    """A recording of `count` quotes of 50 instruments, each numbering its changes from 1."""
    header = b"KESTREC\0" + struct.pack("<HHHHIIIIq", 1, 64, 152, 160, 6, 0, 1, 0, 1765000000000000000)
    with open(path, "wb") as f:
        f.write(header + bytes(64 - len(header)))
        for i in range(count):
            inst, n = i % 50, i // 50
            record = struct.pack("<I16sIHHIi", inst, b"ag%04d" % (2500 + inst), 93000, n % 1000, 0, n + 1,
                                 700000 + i % 977)
            # 10 us apart: 3 s for 300,000 quotes at the recorded pace.
            f.write(struct.pack("<q", 1765000000000000000 + i * 10000) + record + bytes(152 - len(record)))


def entries(path):
    """The record bytes of a one-file recording, entry by entry (a receiver
    writes blocks of format version 2; the source here is version 1)."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))
    import kest_records
    records = kest_records.load(path, follow_rotation=False, on_damage="raise")["record"]
    return [r.tobytes() for r in records]


def kill_replay():
    source = os.path.join(work, "source.kestrec")
    write_recording(source, 300000)
    channel_config(os.path.join(work, "ch6.ini"), 6)
    # A small ring: the replay goes at the receiver's pace, pushing batches as room appears.
    run(tool["kest-card-ctl"], "create", "0", "--a2c-ring-bytes", "1048576")
    copy = os.path.join(work, "copy.kestrec")
    ch6 = receiver(6, "ch6", "--record", copy)
    wait_for("the receiver on channel 6 started", lambda: "logical start" in output(ch6) or os.path.exists(copy))
    # At the recorded pace, pushing the records due in batches, so that it is killed mid-stream.
    first = card_sim("replay1", "--replay", source, "--channel", "6", "--speed", "1")
    wait_for("part of the first replay received", lambda: received_so_far(6) > 30000)
    stop(first, signal.SIGKILL)  # in the middle of its pushes
    check("replayed" not in output(first), "the first replay was killed before it finished")
    second = card_sim("replay2", "--replay", source, "--channel", "6", "--speed", "max")
    wait_for("the second replay finished", lambda: second.poll() is not None)
    check(second.returncode == 0 and "replayed 300000 records" in output(second),
          f"the second replay took the ring over and played every record ({second.returncode})")
    drained(6)
    stop(ch6)
    src, got = entries(source), entries(copy)
    head = len(got) - len(src)
    check(0 < head < len(src), f"the receiver recorded {len(got)} records: {head} of the first replay and then the second's")
    check(got[:head] == src[:head], "the first replay's records: a prefix of the source, whole and in order")
    check(got[head:] == src, "the second replay's records: the whole source, in order")


try:
    {"kill_receiver": kill_receiver, "kill_channel0": kill_channel0, "full_ring": full_ring,
     "kill_replay": kill_replay}[scenario]()
finally:
    kest_checks.stop_all()
    run(tool["kest-card-ctl"], "remove", "0")
kest_checks.finish(work)
