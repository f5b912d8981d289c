"""A private /dev without the machine's serial devices, for this process and
every process it starts from then on (the Wine session that runs
`marrowlink.exe ports`).

Wine's mount manager maps every /dev/ttyS*, /dev/ttyUSB* and /dev/ttyACM* it
finds when its server starts (dosdevices/com2 -> /dev/ttyS0 beside the rig's
COM1), and the Windows port listing opens every COM port it lists. On these
machines /dev/ttyS0 is the machine's own console, never to be opened by a
test. So the process moves into a mount namespace of its own and puts a
tmpfs over /dev that holds every entry of the real /dev except the serial
ones (the same device numbers, links and bind-mounted folders): they do not
exist there, and nothing started from the process can map or open them.

Needs root (CI runs as root); elsewhere enter() says why it cannot.
"""

import ctypes
import os
import re
import stat
import tempfile

CLONE_NEWNS = 0x00020000
MS_BIND = 0x1000
MS_MOVE = 0x2000
MS_REC = 0x4000
MS_PRIVATE = 0x40000

# Serial devices by name: ttyS*, ttyUSB*, ttyACM* (what Wine's mount manager
# looks for) and the other UART families (ttyAMA*, ttyXRUSB*, ...), rfcomm*,
# and the /dev/serial folder of links to them.
SERIAL_NAME = re.compile(r"^(tty[A-Z].*|rfcomm\d+|serial)$")
# Character-device majors of serial ports: 4 (ttyS from minor 64), 166
# (ttyACM), 188 (ttyUSB), 204 (low-density UARTs such as ttyAMA).
SERIAL_MAJORS = (166, 188, 204)
TTY_MAJOR = 4
FIRST_SERIAL_MINOR_OF_TTY = 64

_libc = ctypes.CDLL(None, use_errno=True)
_entered = False


def _call(result, what):
    if result != 0:
        error = ctypes.get_errno()
        raise OSError(error, "%s: %s" % (what, os.strerror(error)))


def _mount(source, target, flags, fstype=None, data=None):
    _call(_libc.mount(os.fsencode(source) if source else None, os.fsencode(target),
                      fstype.encode() if fstype else None, ctypes.c_ulong(flags),
                      data.encode() if data else None), "mount %s on %s" % (source, target))


def is_serial(name, mode, rdev):
    """Whether a /dev entry (its name, st_mode and st_rdev) is a serial port
    or the folder of links to them, by its name or its device number."""
    if SERIAL_NAME.match(name):
        return True
    if not stat.S_ISCHR(mode):
        return False
    major, minor = os.major(rdev), os.minor(rdev)
    return (major == TTY_MAJOR and minor >= FIRST_SERIAL_MINOR_OF_TTY) or major in SERIAL_MAJORS


def serial_devices(root="/dev"):
    """Every serial port under root (not into pts), links followed, by path."""
    found = []
    for folder, subfolders, files in os.walk(root):
        subfolders[:] = [name for name in subfolders if os.path.join(folder, name) != os.path.join(root, "pts")]
        for name in files + subfolders:
            path = os.path.join(folder, name)
            try:
                status = os.stat(path)
            except OSError:
                continue  # a dangling link
            if is_serial(name, status.st_mode, status.st_rdev):
                found.append(path)
    return found


def unavailable():
    """Why this process cannot have a private /dev, or None."""
    if os.geteuid() != 0:
        return "a private /dev without serial devices needs root (a mount namespace)"
    if not os.path.isdir("/dev"):
        return "there is no /dev"
    return None


def entered():
    """Whether this process has moved into its private /dev."""
    return _entered


def enter():
    """Moves this process (single-threaded, before it starts anything that
    should see the private /dev) into a mount namespace of its own whose
    /dev has no serial devices. Raises OSError when the system refuses."""
    global _entered
    if _entered:
        return
    _call(_libc.unshare(CLONE_NEWNS), "unshare(CLONE_NEWNS)")
    # Nothing mounted here reaches the machine's own mount table.
    _mount(None, "/", MS_REC | MS_PRIVATE)
    staging = tempfile.mkdtemp(prefix="marrowlink-dev-")
    _mount("marrowlink-dev", staging, 0, "tmpfs", "mode=755")
    for name in sorted(os.listdir("/dev")):
        source = os.path.join("/dev", name)
        target = os.path.join(staging, name)
        status = os.lstat(source)
        if is_serial(name, status.st_mode, status.st_rdev):
            continue
        if stat.S_ISLNK(status.st_mode):
            os.symlink(os.readlink(source), target)
            continue
        if stat.S_ISCHR(status.st_mode) or stat.S_ISBLK(status.st_mode):
            # A node of its own, not a bind mount: opening ptmx finds its
            # pseudo-terminals in the "pts" beside it, which a bind-mounted
            # node has not.
            os.mknod(target, status.st_mode, status.st_rdev)
            os.chown(target, status.st_uid, status.st_gid)
            os.chmod(target, stat.S_IMODE(status.st_mode))
            continue
        if stat.S_ISDIR(status.st_mode):
            os.mkdir(target)
        else:
            with open(target, "w"):
                pass
        _mount(source, target, MS_BIND | MS_REC)
    _mount(staging, "/dev", MS_MOVE)
    # What is left of the staging folder is an empty folder of the real /tmp.
    os.rmdir(staging)
    left = serial_devices()
    if left:
        raise OSError("serial devices left in the private /dev: " + ", ".join(left))
    _entered = True
