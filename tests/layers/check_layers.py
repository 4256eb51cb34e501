#!/usr/bin/env python3
"""Checks the include rules between the floors of src/ (and the companions).

- a folder includes only folders below it, and itself:
  core < dicom < ui < store, net < dose < edit, io < dialogs < app; nothing includes app/
- <dcmtk/...> only under src/dicom
- src/core includes no other folder of ours
- logic files (everything but ...Panel, ...Form, ...Widget, ...Dialog and the ui,
  dialogs and app folders), the companions and peers/ include no Qt Widgets header
- peers/ (what tests, benchmarks and the demo room start) includes no Qt Test header

Every violation is printed as file:line: rule. Exit code 1 when there is one.
  check_layers.py ROOT        check the tree at ROOT
  check_layers.py --selftest  plant violations in a scratch tree and expect each one
"""
import glob
import os
import re
import sys
import tempfile

FLOOR = {"core": 0, "dicom": 1, "ui": 2, "store": 3, "net": 3, "dose": 4, "edit": 5, "io": 5,
         "dialogs": 6, "app": 7}
WINDOW_FOLDERS = {"ui", "dialogs", "app"}
WINDOW_FILE = re.compile(r"(Panel|Form|Widget|Dialog)\.(cpp|h)$")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')

# The public headers of Qt Widgets (class headers like <QTreeWidget>). Read from the Qt
# installation when it is there; a short list of the common ones otherwise.
FALLBACK_WIDGETS = {"QWidget", "QApplication", "QMainWindow", "QDialog", "QPushButton", "QLabel",
                    "QLineEdit", "QTreeWidget", "QListWidget", "QMessageBox", "QFileDialog",
                    "QComboBox", "QPlainTextEdit", "QStatusBar", "QToolBar", "QMenu",
                    "QScrollBar", "QProgressBar", "QGroupBox", "QLayout", "QVBoxLayout",
                    "QHBoxLayout", "QGridLayout", "QSplitter", "QTabWidget", "QtWidgets"}


def widget_headers():
    found = set()
    for d in glob.glob("/usr/include/*/qt6/QtWidgets") + glob.glob("/usr/include/qt6/QtWidgets"):
        for name in os.listdir(d):
            if name.startswith("Q") and "." not in name:
                found.add(name)
    return found or FALLBACK_WIDGETS


def is_widget_include(target, widgets):
    if target.startswith("QtWidgets/") or target == "QtWidgets":
        return True
    return target in widgets


def check(root, widgets):
    problems = []
    files = []
    for base in ("src", "companions", "peers"):
        for dirpath, _, names in os.walk(os.path.join(root, base)):
            for n in names:
                if n.endswith((".cpp", ".h")):
                    files.append(os.path.join(dirpath, n))
    for path in sorted(files):
        rel = os.path.relpath(path, root).replace(os.sep, "/")
        parts = rel.split("/")
        in_src = parts[0] == "src"
        folder = parts[1] if in_src and len(parts) > 2 else None
        is_window = in_src and (folder in WINDOW_FOLDERS or WINDOW_FILE.search(parts[-1]) is not None)
        with open(path, encoding="utf-8", errors="replace") as f:
            for lineno, line in enumerate(f, 1):
                m = INCLUDE.match(line)
                if not m:
                    continue
                quote, target = m.group(1), m.group(2)
                where = f"{rel}:{lineno}"
                if parts[0] == "peers" and (target == "QTest" or target.startswith(("QtTest/", "QSignalSpy"))):
                    problems.append(f"{where}: Qt Test header <{target}> in peers/ (it is no test library)")
                if quote == "<" and target.startswith("dcmtk/") and folder != "dicom":
                    problems.append(f"{where}: <{target}> outside src/dicom (only the DICOM layer talks to DCMTK)")
                if quote == "<" and not is_window and is_widget_include(target, widgets):
                    problems.append(f"{where}: widget header <{target}> in a logic file")
                if quote != '"' or "/" not in target:
                    continue
                other = target.split("/")[0]
                if other not in FLOOR:
                    continue
                if not in_src:
                    # The companions and the peers link the logic library only.
                    if other in WINDOW_FOLDERS or WINDOW_FILE.search(target):
                        problems.append(f"{where}: {parts[0]} file includes window code \"{target}\"")
                    continue
                if folder not in FLOOR or other == folder:
                    continue
                if other == "app":
                    problems.append(f"{where}: includes \"{target}\" (nothing includes app/)")
                elif folder == "core":
                    problems.append(f"{where}: src/core includes \"{target}\" (core stands alone)")
                elif FLOOR[other] >= FLOOR[folder]:
                    problems.append(f"{where}: {folder}/ includes \"{target}\" from a floor not below it")
                if not is_window and (other in WINDOW_FOLDERS or WINDOW_FILE.search(target)):
                    problems.append(f"{where}: logic file includes window code \"{target}\"")
    return problems


def selftest():
    planted = {
        "src/core/Bad.h": '#include "store/Database.h"\n',
        "src/store/Logic.cpp": '#include <QTreeWidget>\n#include "dose/DoseState.h"\n',
        "src/net/Peer.cpp": '#include <dcmtk/dcmdata/dctk.h>\n',
        "src/dose/Thing.cpp": '#include "app/MainForm.h"\n',
        "src/store/Fine.cpp": '#include "core/Station.h"\n#include "dicom/Image.h"\n#include <QString>\n',
        "src/store/BrowserPanel.cpp": '#include <QTreeWidget>\n#include "ui/CommandTable.h"\n',
        "src/dose/Records.cpp": '#include "ui/CommandTable.h"\n',
        "companions/TqX/main.cpp": '#include "store/BrowserPanel.h"\n',
        "peers/Pacs.cpp": '#include <dcmtk/dcmnet/scu.h>\n#include <QTest>\n#include <QWidget>\n#include "dicom/Uid.h"\n',
    }
    expected = [
        "src/core/Bad.h:1: src/core includes",
        "src/store/Logic.cpp:1: widget header <QTreeWidget>",
        "src/store/Logic.cpp:2: store/ includes \"dose/DoseState.h\"",
        "src/net/Peer.cpp:1: <dcmtk/dcmdata/dctk.h> outside src/dicom",
        "src/dose/Thing.cpp:1: includes \"app/MainForm.h\" (nothing includes app/)",
        "src/dose/Records.cpp:1: logic file includes window code",
        "companions/TqX/main.cpp:1: companions file includes window code",
        "peers/Pacs.cpp:1: <dcmtk/dcmnet/scu.h> outside src/dicom",
        "peers/Pacs.cpp:2: Qt Test header <QTest>",
        "peers/Pacs.cpp:3: widget header <QWidget>",
    ]
    with tempfile.TemporaryDirectory() as root:
        for rel, text in planted.items():
            os.makedirs(os.path.dirname(os.path.join(root, rel)), exist_ok=True)
            with open(os.path.join(root, rel), "w") as f:
                f.write(text)
        got = check(root, FALLBACK_WIDGETS)
    ok = True
    for e in expected:
        if not any(p.startswith(e) for p in got):
            print(f"selftest: expected a report starting with: {e}")
            ok = False
    for p in got:
        if p.startswith(("src/store/Fine.cpp", "src/store/BrowserPanel.cpp", "peers/Pacs.cpp:4")):
            print(f"selftest: reported a file that keeps the rules: {p}")
            ok = False
    print("selftest " + ("passed" if ok else "FAILED"))
    return 0 if ok else 1


def main():
    if len(sys.argv) == 2 and sys.argv[1] == "--selftest":
        return selftest()
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "..")
    problems = check(root, widget_headers())
    for p in problems:
        print(p)
    print(f"{len(problems)} include rule violation(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
