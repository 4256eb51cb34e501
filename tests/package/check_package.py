#!/usr/bin/env python3
"""The Debian package of a build: made by cpack, its control fields and contents read with
dpkg-deb, unpacked into a scratch root, and the installed station started there headless.
The installed station keeps its data in the user's data folder, finds its companions beside
itself in the scratch root's usr/bin, and its receiver answers a C-ECHO.

usage: check_package.py <build folder>
"""
import glob
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

BINARIES = ["Calvarex", "TqReceiver", "TqDataMgr", "modality-sim", "xray-sim"]
DEPENDS = ["libqt6widgets6", "libqt6sql6-sqlite", "libqt6sql6-psql", "libqt6serialport6", "libdcmtk17", "libopenjp2-7", "libzip4",
           "qt6-qpa-plugins"]


def fail(text):
    print("FAIL: " + text)
    sys.exit(1)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def processes_under(root):
    """Pids of running processes whose executable lies under root."""
    found = {}
    for exe in glob.glob("/proc/[0-9]*/exe"):
        try:
            target = os.readlink(exe)
        except OSError:
            continue
        if target.startswith(root + "/"):
            found[int(exe.split("/")[2])] = os.path.basename(target)
    return found


def main():
    build = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory(prefix="calvarex-package-") as work:
        out = os.path.join(work, "out")
        made = subprocess.run(["cpack", "-G", "DEB", "-B", out, "--config", os.path.join(build, "CPackConfig.cmake")],
                              capture_output=True, text=True, timeout=240)
        debs = glob.glob(os.path.join(out, "*.deb"))
        if made.returncode != 0 or len(debs) != 1:
            fail("cpack made no package:\n" + made.stdout[-3000:] + made.stderr[-3000:])
        deb = debs[0]

        depends = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], capture_output=True, text=True).stdout
        for d in DEPENDS:
            if d not in depends:
                fail("Depends lacks %s: %s" % (d, depends))
        listing = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True).stdout
        wanted = ["./usr/bin/" + b for b in BINARIES] + [
            "./usr/share/calvarex/Viewer.bmp", "./usr/share/applications/calvarex.desktop",
            "./usr/share/icons/hicolor/scalable/apps/calvarex.svg"]
        for w in wanted:
            if w not in listing:
                fail("the package lacks %s:\n%s" % (w, listing))

        root = os.path.join(work, "root")
        subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
        home = os.path.join(work, "home")
        os.makedirs(home)
        port = free_port()
        ini = os.path.join(work, "station.ini")
        with open(ini, "w") as f:
            f.write("[Com]\nIR_AET=PKGTEST\nIR_Port=%d\n" % port)
        env = {k: v for k, v in os.environ.items()
               if k not in ("CALVAREX_HOME", "CALVAREX_BIN_DIR", "XDG_DATA_HOME", "XDG_CONFIG_HOME")}
        # A screen as large as a station's: a small one is refused with a message first.
        screen = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "offscreen-1280x1024.json")
        env.update({"HOME": home, "CALVAREX_SETTINGS": ini, "QT_QPA_PLATFORM": "offscreen:configfile=" + screen})
        station = subprocess.Popen([os.path.join(root, "usr/bin/Calvarex")], env=env, cwd=work,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        data = os.path.join(home, ".local/share/calvarex")
        try:
            deadline = time.time() + 90
            seen = {}
            echoed = False
            while time.time() < deadline:
                if station.poll() is not None:
                    fail("the installed station ended (%d): %s" % (station.returncode, station.stderr.read()[-3000:]))
                seen = processes_under(root)
                names = set(seen.values())
                if os.path.exists(os.path.join(data, "Data/TqData.dat")) and {"TqReceiver", "TqDataMgr"} <= names:
                    echoed = subprocess.run(["echoscu", "-aec", "PKGTEST", "127.0.0.1", str(port)],
                                            capture_output=True, timeout=30).returncode == 0
                    if echoed:
                        break
                time.sleep(0.5)
            if not os.path.isdir(os.path.join(data, "Images")):
                fail("the installed station made no station folder in %s" % data)
            if not echoed:
                fail("the installed companions did not answer (running under the root: %s)" % sorted(seen.values()))
            print("installed station running from %s, data in %s, companions %s, receiver answers on %d"
                  % (root, data, sorted(set(seen.values())), port))
        finally:
            station.send_signal(signal.SIGTERM)
            try:
                station.wait(30)
            except subprocess.TimeoutExpired:
                station.kill()
            for pid in processes_under(root):
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass


if __name__ == "__main__":
    main()
