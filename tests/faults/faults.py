"""The fault matrix: every fault the adapter, the chip, the line or the download
tool can show, run end to end (the real updater against marrowlink-sim on a
pseudo-terminal, through tests/e2e/rig.py), each with

- the console lines the run must print, exactly;
- the exit status and whether the program waits for a key;
- the wall-time bound it must end within;
- the chip's persistent store afterwards: a key with no failure line must have
  been written (the chip's ps_write event, the value in the store file); a key
  with a failure line must not count as written in any result line
  ("SUCCESS" after the recovery, which is the recovery profile's result); no key outside the run's profile branch is
  written.

A Scenario names its fault, the simulator's options, the tool's behaviour,
the expected transcript, the exit status, the key-wait, and the bound as a sum
of the updater's own waits along the path the fault leads to (see Bound).

Used by test_faults.py (the ctest entries, label "faults") and matrix.py
(scripts/fault-matrix: all scenarios, the published table).
"""

import os
import re
import sys
from dataclasses import dataclass, field

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))

import rig  # noqa: E402  (tests/e2e, on the path just above)
from rig import CI_VERSION, STANDARD_VERSION  # noqa: E402

BUILD_ID = 4711
ABORT = "Update Aborted, press any key to exit\n"
CLOSING = ("Update done\nPlease power off and on Marrowlink Device\n"
           "Press any key to exit the update program\n")
NOT_FOUND = "Contacting Marrowlink\nMarrowlink not found on COM1.\n" + ABORT
UNKNOWN_WITHOUT_VERSION = "Contacting Marrowlink\nSuccess\nUnknown Device.\n" + ABORT
NO_LINK = "failed to start BCSP communication\n"
RECOVERY = "Pre-Update Configuration failed !\nTrying to recover..\n"
TOOL_STARTED = "Update Wizard started succefully\n"
TOOL_OK = TOOL_STARTED + "Update successful !\n"
UART_CONFIG = [0x01D8, 0x00A8, 0x00FA, 0x0014, 0x0004, 0x0000, 0x0004, 0x001E, 0x0064, 0x000A]

# ---------------------------------------------------------------------------
# The chip's keys, per profile, in the order the profiles write them.


@dataclass(frozen=True)
class Key:
    number: int
    failure_line: str
    counts: bool = True  # its failure clears the profile's result


def packed_name(text):
    data = text.encode() + b"\0"
    if len(data) % 2:
        data += b"\0"
    return [data[i] | data[i + 1] << 8 for i in range(0, len(data), 2)]


CRYSTAL = Key(0x024B, "Writing Crystal Target Amplitude failed\n")
ONCHIP_HCI_CLIENT = Key(0x03CC, "Writing PSKEY_ONCHIP_HCI_CLIENT failed\n")
HOST_INTERFACE = Key(0x01F9, "Writing PSKEY_HOST_INTERFACE failed\n")
VM_DISABLE = Key(0x025D, "Writing PSKEY_VM_DISABLE failed\n")
UART_CONFIG_USR = Key(0x01C2, "Writing PSKEY_UART_CONFIG_USR failed\n")
PIO_PROTECT_MASK = Key(0x0202, "Writing PSKEY_PIO_PROTECT_MASK failed\n")
UART_CONFIG_KEY = Key(0x0191, "Writing PSKEY_UART_CONFIG failed\n")
INITIAL_BOOTMODE = Key(0x03CD, "Writing PSKEY_INITIAL_BOOTMODE  failed\n")
KEY_LIST = Key(0x04B1, "Writing PSKBOOTMODE_KEY_LIST_0+1 failed\n")
KEY_TABLE = Key(0x04F8, "Writing PSKBOOTMODE_KEY_TABLE_1 failed\n")
DEVICE_NAME = Key(0x0108, "Writing Device Name failed\n")
DEEP_SLEEP = Key(0x0229, "Failed setting PSKEY_DEEP_SLEEP_STATE\n", counts=False)


def key_values(ci):
    return {
        CRYSTAL.number: [40 if ci else 48], ONCHIP_HCI_CLIENT.number: [1], HOST_INTERFACE.number: [4],
        VM_DISABLE.number: [0], UART_CONFIG_USR.number: [0x0888], PIO_PROTECT_MASK.number: [3],
        UART_CONFIG_KEY.number: UART_CONFIG, INITIAL_BOOTMODE.number: [0], KEY_LIST.number: [0x01C2],
        KEY_TABLE.number: [0x0880], DEVICE_NAME.number: packed_name("Marrowlink/CL1" if ci else "Marrowlink"),
        DEEP_SLEEP.number: [0],
    }


def post_keys(ci, download_failed):
    keys = [ONCHIP_HCI_CLIENT, HOST_INTERFACE, VM_DISABLE, UART_CONFIG_USR]
    if ci:
        keys.append(PIO_PROTECT_MASK)
    if download_failed:
        keys.append(UART_CONFIG_KEY)
    else:
        keys += [INITIAL_BOOTMODE, KEY_LIST, KEY_TABLE, DEVICE_NAME, DEEP_SLEEP]
    return keys


# ---------------------------------------------------------------------------
# Time bounds: the updater's own waits (its named constants), each counted at
# its full length where the fault can make it run out.

WAKE_S = 1.3             # MODEM_LINES_RESET_MS + 4 x MODEM_LINES_STEP_MS
PNP_REPLY_S = 0.2        # 11 characters at 1200 baud and the adapter's reaction time
READ_TIMEOUT_S = 1.5     # COMMAND_PORT_TIMEOUTS: one silent byte read
SETTLE_S = 0.2           # HANDSHAKE_SETTLE_MS
IDENTIFY_WAIT_S = 10.0   # IDENTIFY_VERSION_WAIT_MS
HANDOVER_S = 0.5         # HANDOVER_PAUSE_MS
LINK_S = 5.0             # BCSP_LINK_TIMEOUT_MS
POST_LINK_S = 20.0       # POST_DOWNLOAD_LINK_TIMEOUT_MS: the link right after the download tool
SEND_S = 2.0             # BCSP_SEND_TIMEOUT_MS
RECEIVE_S = 5.0          # BCSP_RECEIVE_TIMEOUT_MS
DEFRAG_PAUSE_S = 1.0     # DEFRAG_RESET_PAUSE_MS
COLD_PAUSE_S = 0.2       # COLD_RESET_PAUSE_MS
TOOL_POLL_S = 1.0        # TOOL_POLL_INTERVAL_MS: the first query comes one poll after the start
KEY_CHECK_S = rig.KEY_WAIT_CHECK_S  # the rig's look at the key wait before it presses a key
# Start-up of the process and simulator, logs, and a loaded 2-core machine.
SLACK_S = 3.0
SLACK_FACTOR = 1.15

CONTACT_S = WAKE_S + PNP_REPLY_S + SETTLE_S + 0.1   # a working command port
# The slow-booting chip: it answers 12 s after the post-download open, which
# comes DEFRAG_PAUSE_S + TOOL_POLL_S after the reset that starts its boot.
SLOW_BOOT_AFTER_UPDATE_S = 12.0
SLOW_BOOT_MS = int((SLOW_BOOT_AFTER_UPDATE_S + DEFRAG_PAUSE_S + TOOL_POLL_S) * 1000)
IDENTIFY_S = 0.1 + HANDOVER_S                       # a working identification and the hand-over


def request_worst_s(answered=True):
    """A BCCMD request whose every wait runs out: the send, then the answer."""
    return SEND_S + (RECEIVE_S if answered else 0.0)


def pre_profile_worst_s():
    return LINK_S + request_worst_s() + request_worst_s(answered=False) + DEFRAG_PAUSE_S


def post_profile_worst_s(key_count, link_s=POST_LINK_S):
    """After the download (link_s POST_LINK_S) or on the recovery path (LINK_S)."""
    return link_s + request_worst_s() * (1 + key_count) + request_worst_s(answered=False) + COLD_PAUSE_S


def bound(nominal_s):
    return round(nominal_s * SLACK_FACTOR + SLACK_S, 1)


def whole_run_bound(ci=False, download_failed=False, recovery=False):
    """Contact, identify, pre-update, tool, post-update (or the recovery), key wait."""
    total = CONTACT_S + IDENTIFY_S + pre_profile_worst_s()
    if recovery:
        return bound(total + post_profile_worst_s(len(post_keys(ci, True)), LINK_S))
    total += TOOL_POLL_S + post_profile_worst_s(len(post_keys(ci, download_failed))) + KEY_CHECK_S
    return bound(total)


# ---------------------------------------------------------------------------
# Expected transcripts.


def head(version=STANDARD_VERSION):
    return "Contacting Marrowlink\nSuccess\nCurrent Firmware Version is %s\n" % version


def post_lines(failures=(), build_id_failed=False, cold_reset="Cold Reset sent\n"):
    """The post-update profile's lines: build id, the failure lines in key order, the reset."""
    text = "Read BuildID failed\n" if build_id_failed else "Build ID = %d\n" % BUILD_ID
    return text + "".join(key.failure_line for key in failures) + cold_reset


def whole_run(version=STANDARD_VERSION, tool=TOOL_OK, post=None):
    return head(version) + tool + (post if post is not None else post_lines()) + CLOSING


def legal_transcript(ci=False, tool=TOOL_OK, download_failed=False):
    """A pattern of every transcript a run can print when any single step may
    fail: either profile may fail to link, any build id read, key write or
    reset may fail (each with its own line, in profile order); a failed
    pre-update profile leads to the recovery path."""
    def optional(line):
        return "(?:%s)?" % re.escape(line)

    def either(*lines):
        return "(?:%s)" % "|".join(re.escape(line) for line in lines)

    def post(failed):
        steps = (either("Build ID = %d\n" % BUILD_ID, "Read BuildID failed\n")
                 + "".join(optional(key.failure_line) for key in post_keys(ci, failed))
                 + either("Cold Reset sent\n", "Cold Reset Failed\n"))
        return "(?:%s|%s)" % (re.escape(NO_LINK), steps)

    pre_failed = "(?:%s|%s%s|%s)" % (re.escape(NO_LINK), re.escape(CRYSTAL.failure_line),
                                     optional("PS Defrag failed\n"), re.escape("PS Defrag failed\n"))
    recovery = pre_failed + re.escape(RECOVERY) + post(True) + either("SUCCESS\n", "FAILED\n")
    completed = re.escape(tool) + post(download_failed) + re.escape(CLOSING)
    return re.compile(re.escape(head(CI_VERSION if ci else STANDARD_VERSION)) + "(?:%s|%s)\Z" % (recovery, completed))


# ---------------------------------------------------------------------------
# Scenarios.


@dataclass
class Scenario:
    name: str            # a test method's name: lower case with underscores
    fault: str           # what the table says
    sim_args: list
    transcript: str      # the exact console output
    exit_status: int
    waits_for_key: bool
    bound_s: float
    tool_exit_code: int = 0
    tool_env: dict = field(default_factory=dict)
    tool_present: bool = True
    ci: bool = False
    least_s: float = 0.0  # the run lasts at least this long (the fault did act)
    quick: bool = False   # also in the ctest subset
    group: str = ""       # the ctest class it runs in
    windows_only: str = ""  # why it applies to one build only (empty: both)
    # A line so bad that single steps may fail within the updater's limits:
    # the transcript must then be the expected one or one of the legal
    # variants with failure lines (legal_transcript), each failure agreeing
    # with the chip's store, and the exit status and key wait of its ending.
    lossy: bool = False

    def simulator_options(self):
        return ["--version", CI_VERSION if self.ci else STANDARD_VERSION,
                "--build-id", str(BUILD_ID)] + list(self.sim_args)


def _silences():
    c = CONTACT_S
    return [
        Scenario("silent_at_plug_and_play", "Silence from the start (no Plug-and-Play reply)",
                 ["--fault", "silent"], NOT_FOUND, 0, True,
                 bound(WAKE_S + READ_TIMEOUT_S + KEY_CHECK_S), quick=True),
        Scenario("silent_in_plug_and_play_reply", "Silence after 5 bytes of the Plug-and-Play reply",
                 ["--fault", "pnp-cut:5"], NOT_FOUND, 0, True,
                 bound(WAKE_S + PNP_REPLY_S + READ_TIMEOUT_S + KEY_CHECK_S)),
        Scenario("silent_at_handshake", "Silence from the setup handshake on (whole Plug-and-Play reply, no answer)",
                 ["--fault", "pnp-cut:11"], NOT_FOUND, 0, True,
                 bound(c + READ_TIMEOUT_S + KEY_CHECK_S), quick=True),
        Scenario("silent_at_version_frame", "Silence from the version frame on (identify command unanswered)",
                 ["--fault", "version-cut:0"], UNKNOWN_WITHOUT_VERSION, 0, True,
                 bound(c + IDENTIFY_WAIT_S + READ_TIMEOUT_S + KEY_CHECK_S), quick=True),
        Scenario("silent_in_version_frame", "Silence after 6 bytes of the version frame",
                 ["--frames-before", "2", "--fault", "version-cut:6"], UNKNOWN_WITHOUT_VERSION, 0, True,
                 bound(c + IDENTIFY_WAIT_S + READ_TIMEOUT_S + KEY_CHECK_S)),
        Scenario("silent_at_link_establishment", "Silence on the BCSP link from the start (no link establishment)",
                 ["--chip-fault", "no-link"],
                 head() + NO_LINK + RECOVERY + NO_LINK + "FAILED\n", 0, False,
                 bound(c + IDENTIFY_S + 2 * LINK_S), quick=True),
        Scenario("silent_at_acknowledgement", "No acknowledgement of any reliable packet (link established)",
                 ["--chip-fault", "no-ack"],
                 head() + CRYSTAL.failure_line + "PS Defrag failed\n" + RECOVERY
                 + post_lines(post_keys(False, True), build_id_failed=True, cold_reset="Cold Reset Failed\n")
                 + "FAILED\n", 0, False, whole_run_bound(recovery=True), quick=True),
        Scenario("silent_at_bccmd_response", "BCCMD requests acknowledged, never answered",
                 ["--chip-fault", "no-answer-after:1"],
                 head() + CRYSTAL.failure_line + RECOVERY
                 + post_lines(post_keys(False, True), build_id_failed=True) + "FAILED\n", 0, False,
                 whole_run_bound(recovery=True)),
        Scenario("silent_at_bccmd_response_after_update", "BCCMD requests acknowledged, never answered, from the post-update profile's build id on",
                 ["--chip-fault", "no-answer-after:3"],
                 whole_run(post=post_lines(post_keys(False, False), build_id_failed=True)), 1, True,
                 whole_run_bound()),
        Scenario("silent_mid_post_update", "Whole silence (no acknowledgement, no answer) from the post-update profile's 4th key on",
                 ["--chip-fault", "silent-after:7"],
                 whole_run(post=post_lines([UART_CONFIG_USR, INITIAL_BOOTMODE, KEY_LIST, KEY_TABLE, DEVICE_NAME,
                                            DEEP_SLEEP], cold_reset="Cold Reset Failed\n")), 1, True,
                 whole_run_bound()),
        Scenario("silent_after_reset", "Silence after a reset (the chip never comes back from the store defragmenting reset)",
                 ["--chip-fault", "no-restart"],
                 whole_run(post=NO_LINK), 1, True,
                 bound(c + IDENTIFY_S + pre_profile_worst_s() + TOOL_POLL_S + POST_LINK_S + KEY_CHECK_S),
                 least_s=POST_LINK_S, quick=True),
        Scenario("slow_boot_after_update", "The chip's first boot after the download takes 12 s (its restart after "
                 "the store defragmenting reset takes %d s: 1 s pause before the close, 1 s to the tool's first poll)"
                 % (SLOW_BOOT_MS // 1000),
                 ["--chip-fault", "slow-boot:%d" % SLOW_BOOT_MS],
                 whole_run(), 1, True,
                 bound(c + IDENTIFY_S + DEFRAG_PAUSE_S + TOOL_POLL_S + POST_LINK_S + COLD_PAUSE_S + KEY_CHECK_S),
                 least_s=SLOW_BOOT_AFTER_UPDATE_S, quick=True),
    ]


def _adapter_faults():
    c = CONTACT_S
    unknown_bound = bound(c + IDENTIFY_WAIT_S + READ_TIMEOUT_S + KEY_CHECK_S)
    return [
        Scenario("wrong_identifier", "Wrong Plug-and-Play identifier (QXZ4709)",
                 ["--fault", "wrong-id"], NOT_FOUND, 0, True,
                 bound(WAKE_S + PNP_REPLY_S + KEY_CHECK_S), quick=True),
        Scenario("wrong_handshake_answer", "Wrong setup handshake answer",
                 ["--fault", "wrong-handshake"], NOT_FOUND, 0, True,
                 bound(c + KEY_CHECK_S)),
        Scenario("version_frame_never_comes", "Three other reply frames, the version frame never comes",
                 ["--frames-before", "3", "--fault", "no-version"], UNKNOWN_WITHOUT_VERSION, 0, True,
                 unknown_bound, quick=True),
        Scenario("garbage_before_reply_frames", "3 garbage bytes (0xFF) before the first reply frame",
                 ["--garbage-before", "3"], UNKNOWN_WITHOUT_VERSION, 0, True, unknown_bound),
        Scenario("garbage_between_reply_frames", "2 garbage bytes (0xFF) between the reply frames",
                 ["--frames-before", "2", "--garbage-between", "2"], UNKNOWN_WITHOUT_VERSION, 0, True,
                 unknown_bound, quick=True),
        Scenario("garbage_between_bcsp_frames", "16 random bytes (never 0xC0) before every BCSP frame of the chip",
                 ["--chip-garbage", "16", "--seed", "5"], whole_run(), 1, True, whole_run_bound(), quick=True),
    ]


NOISE_RATES = (("0.1 %", "0.001"), ("1 %", "0.01"), ("5 %", "0.05"))
NOISE_KINDS = (("corrupt", "Corrupted"), ("drop", "Dropped"), ("repeat", "Repeated"))


def _noise():
    scenarios = []
    for kind, kind_text in NOISE_KINDS:
        for rate_text, rate in NOISE_RATES:
            name = "noise_%s_%s" % (kind, rate.replace("0.", "p"))
            scenarios.append(Scenario(
                name, "%s bytes at %s, both directions of the BCSP link" % (kind_text, rate_text),
                ["--noise-" + kind, rate, "--noise-rx-" + kind, rate, "--seed", "7"],
                whole_run(), 1, True, whole_run_bound(), quick=rate == "0.05" and kind != "repeat",
                lossy=rate == "0.05"))
    return scenarios


def _peer_resets():
    return [
        Scenario("peer_reset_pre_update_key", "Chip reset on the pre-update profile's key write",
                 ["--chip-fault", "reset-after:1"], whole_run(), 1, True, whole_run_bound(), quick=True),
        Scenario("peer_reset_on_defrag_reset", "Chip reset on the store defragmenting reset request",
                 ["--chip-fault", "reset-after:2"], whole_run(), 1, True, whole_run_bound()),
        Scenario("peer_reset_post_update_build_id", "Chip reset on the post-update profile's build id request",
                 ["--chip-fault", "reset-after:3"], whole_run(), 1, True, whole_run_bound()),
        Scenario("peer_reset_mid_post_update", "Chip reset on the post-update profile's 4th key write",
                 ["--chip-fault", "reset-after:7"], whole_run(), 1, True, whole_run_bound(), quick=True),
        Scenario("peer_reset_in_recovery", "Pre-update key refused, then a chip reset in the recovery profile",
                 ["--chip-error-key", "0x024b", "--chip-fault", "reset-after:5"],
                 head() + CRYSTAL.failure_line + RECOVERY + post_lines() + "SUCCESS\n", 0, False,
                 whole_run_bound(recovery=True)),
    ]


def _error_statuses():
    scenarios = [
        Scenario("error_status_crystal", "BCCMD error status for key 0x024b (crystal target amplitude)",
                 ["--chip-error-key", "0x024b"],
                 head() + CRYSTAL.failure_line + RECOVERY + post_lines() + "SUCCESS\n", 0, False,
                 whole_run_bound(recovery=True), quick=True),
        Scenario("error_status_build_id", "BCCMD error status for the build id (varid 0x2819)",
                 ["--chip-error-varid", "0x2819"], whole_run(post=post_lines(build_id_failed=True)), 1, True,
                 whole_run_bound()),
        Scenario("error_status_defrag_reset", "BCCMD error status for the store defragmenting reset (varid 0x400f)",
                 ["--chip-error-varid", "0x400f"], whole_run(), 1, True, whole_run_bound()),
        Scenario("error_status_cold_reset", "BCCMD error status for the cold reset (varid 0x4001)",
                 ["--chip-error-varid", "0x4001"], whole_run(), 1, True, whole_run_bound()),
    ]
    for ci, failed in ((False, False), (True, False), (True, True)):
        for key in post_keys(ci, failed):
            if any(key.number == int(s.sim_args[1], 16) for s in scenarios if s.sim_args[0] == "--chip-error-key"):
                continue  # each key once
            branch = ("CI firmware, " if ci else "") + ("failed download" if failed else "")
            suffix = (" (%s)" % branch.rstrip(", ")) if branch else ""
            tool = (TOOL_STARTED + "Update Wizard terminated with error:2\n") if failed else TOOL_OK
            scenarios.append(Scenario(
                "error_status_key_%04x" % key.number,
                "BCCMD error status for key 0x%04x%s" % (key.number, suffix),
                ["--chip-error-key", "0x%04x" % key.number],
                whole_run(CI_VERSION if ci else STANDARD_VERSION, tool, post_lines([key])), 1, True,
                whole_run_bound(ci, failed), tool_exit_code=2 if failed else 0, ci=ci,
                quick=key in (HOST_INTERFACE, DEEP_SLEEP, UART_CONFIG_KEY)))
    return scenarios


def _tool_faults():
    failed_run = lambda code: whole_run(tool=TOOL_STARTED + "Update Wizard terminated with error:%d\n" % code,
                                        post=post_lines())
    return [
        Scenario("tool_killed", "Download tool killed (DFUWIZARD_KILL_SELF=1; Linux reports 128 + 9)",
                 [], failed_run(137), 1, True, whole_run_bound(download_failed=True),
                 tool_env={"DFUWIZARD_KILL_SELF": "1"}, quick=True,
                 windows_only="DFUWIZARD_KILL_SELF is Linux-only in the stand-in tool"),
        Scenario("tool_exit_259", "Download tool exits with 259 (STILL_ACTIVE)",
                 [], failed_run(259), 1, True, whole_run_bound(download_failed=True), tool_exit_code=259,
                 quick=True,
                 windows_only="Windows only: a POSIX exit status is 8 bits, 259 arrives as 3"),
        Scenario("tool_exit_negative", "Download tool exits with -5",
                 [], failed_run(-5), 1, True, whole_run_bound(download_failed=True), tool_exit_code=-5,
                 quick=True,
                 windows_only="Windows only: a POSIX exit status is 8 bits, -5 arrives as 251"),
        Scenario("tool_missing", "Download tool cannot be started",
                 [], whole_run(tool="Failed to start update Wizard\n"), 1, True,
                 whole_run_bound(download_failed=True), tool_present=False),
    ]


def _late_answers():
    return [
        Scenario("late_answer_then_refused_key",
                 "The answer to the post-update profile's 1st key comes 5.03 s late (after the 5 s wait), "
                 "a later key (0x04f8) is refused",
                 ["--chip-answer-delay", "5030:4", "--chip-error-key", "0x04f8"],
                 whole_run(post=post_lines([ONCHIP_HCI_CLIENT, KEY_TABLE])), 1, True, whole_run_bound(),
                 quick=True),
        Scenario("late_answer_pre_update", "The answer to the pre-update key write comes 5.1 s late",
                 ["--chip-answer-delay", "5100:1"],
                 head() + CRYSTAL.failure_line + RECOVERY + post_lines() + "SUCCESS\n", 0, False,
                 whole_run_bound(recovery=True)),
    ]


GROUPS = (("Silence", _silences), ("AdapterFaults", _adapter_faults), ("LineNoise", _noise),
          ("PeerReset", _peer_resets), ("ErrorStatus", _error_statuses), ("ToolFaults", _tool_faults),
          ("LateAnswer", _late_answers))


def all_scenarios():
    scenarios = []
    for group, make in GROUPS:
        for scenario in make():
            scenario.group = group
            scenarios.append(scenario)
    return scenarios


def runs_on(scenario, build):
    """Whether the scenario applies to the build: see Scenario.windows_only;
    the killed tool is the Linux stand-in's own fault."""
    if scenario.name == "tool_killed":
        return build == "linux"
    return not scenario.windows_only or build == "windows"


# ---------------------------------------------------------------------------
# One run and its checks.


class FaultRig(rig.Rig):
    """The e2e rig with the extra variables a scenario gives the stand-in tool."""

    def __init__(self, extra_env=None, **kwargs):
        super().__init__(**kwargs)
        self.extra_env = dict(extra_env or {})

    def run_variables(self):
        variables = super().run_variables()
        variables.update(self.extra_env)
        return variables


@dataclass
class Outcome:
    scenario: Scenario
    run: object
    problems: list
    notes: list

    @property
    def passed(self):
        return not self.problems


def run_scenario(scenario, build=None):
    build = build or rig.BUILD
    with FaultRig(extra_env=scenario.tool_env, sim_args=scenario.simulator_options(),
                  tool_exit_code=scenario.tool_exit_code, tool_present=scenario.tool_present,
                  build=build) as fault_rig:
        # Past the bound the run has failed anyway; the rig then kills it.
        run = fault_rig.run(timeout_s=scenario.bound_s + 30)
    problems, notes = check(scenario, run)
    return Outcome(scenario, run, problems, notes)


def _profiles_run(transcript, scenario):
    """(key, profile) pairs the run attempted, from its lines: a profile that
    could not open the link attempts nothing."""
    attempted = []
    body = transcript
    pre_started = body.startswith(head(CI_VERSION if scenario.ci else STANDARD_VERSION))
    if not pre_started:
        return attempted
    after_head = body[len(head(CI_VERSION if scenario.ci else STANDARD_VERSION)):]
    if not after_head.startswith(NO_LINK):
        attempted.append(CRYSTAL)
    recovery = RECOVERY in body
    if recovery:
        post_text = after_head.split(RECOVERY, 1)[1]
        download_failed = True
    else:
        download_failed = "Update successful !\n" not in body
        marker = "Update successful !\n" if not download_failed else None
        if marker is None:
            for line in body.splitlines(keepends=True):
                if line.startswith("Update Wizard terminated with error:") or line.startswith("Failed to start update"):
                    marker = line
        if marker is None or marker not in body:
            return attempted
        post_text = body.split(marker, 1)[1]
    if not post_text.startswith(NO_LINK):
        attempted += post_keys(scenario.ci, download_failed)
    return attempted


def check(scenario, run):
    """Everything a person would check after the run; returns (problems, notes)."""
    problems = []
    notes = []
    exit_status, waits_for_key = scenario.exit_status, scenario.waits_for_key
    if scenario.lossy and run.transcript != scenario.transcript and legal_transcript(scenario.ci).match(run.transcript):
        notes.append("single steps failed on the noisy line")
        recovered = RECOVERY in run.transcript
        exit_status, waits_for_key = (0, False) if recovered else (1, True)
        recovery_part = run.transcript.split(RECOVERY, 1)[1] if recovered else ""
        if "SUCCESS\n" in recovery_part and ("Read BuildID failed\n" in recovery_part or NO_LINK in recovery_part):
            problems.append("the recovery reported SUCCESS after a failed step")
    elif run.transcript != scenario.transcript:
        problems.append("console differs:\n--- expected\n%s--- got\n%s" % (scenario.transcript, run.transcript))
    if run.exit_status != exit_status:
        problems.append("exit status %s, expected %d" % (run.exit_status, exit_status))
    if run.waited_for_key != waits_for_key:
        problems.append("key wait %s, expected %s" % (run.waited_for_key, waits_for_key))
    if run.elapsed_s > scenario.bound_s:
        problems.append("took %.1f s, bound %.1f s" % (run.elapsed_s, scenario.bound_s))
    if run.elapsed_s < scenario.least_s:
        problems.append("took %.1f s, less than the %.1f s the fault holds the run up" % (run.elapsed_s, scenario.least_s))

    values = key_values(scenario.ci)
    written = {}
    for event in run.events_named("ps_write"):
        written.setdefault(int(event["key"], 16), []).append(event["values"])
    attempted = _profiles_run(run.transcript, scenario)
    attempted_numbers = {key.number for key in attempted}
    for key in attempted:
        failed = key.failure_line in run.transcript
        if not failed:
            if values[key.number] not in written.get(key.number, []):
                problems.append("key 0x%04x reported written (no failure line) but the chip never wrote it"
                                % key.number)
            elif run.store.get(key.number) != values[key.number]:
                problems.append("key 0x%04x reported written but the store holds %s"
                                % (key.number, run.store.get(key.number)))
        else:
            if run.transcript.count(key.failure_line) != 1:
                problems.append("failure line for 0x%04x printed %d times"
                                % (key.number, run.transcript.count(key.failure_line)))
            if key.counts and key is not CRYSTAL and "SUCCESS\n" in run.transcript:
                problems.append("key 0x%04x failed but the recovery reported SUCCESS" % key.number)
            if key.number in written:
                notes.append("0x%04x written though reported failed" % key.number)
    for number in written:
        if number not in attempted_numbers:
            problems.append("key 0x%04x written outside the run's profiles" % number)
    if "Update successful !\n" in run.transcript and scenario.tool_exit_code != 0:
        problems.append("the download was reported successful")
    return problems, notes


def chip_counts(run):
    """Retransmission figures from the chip's events: the host's repeats the
    chip saw ("duplicate"), host frames it dropped ("frame_bad"), its own repeats."""
    return {
        "duplicate": len(run.events_named("duplicate")),
        "frame_bad": len(run.events_named("frame_bad")),
        "chip_retry": sum(1 for e in run.events_named("tx") if e.get("retry") == 1),
    }
