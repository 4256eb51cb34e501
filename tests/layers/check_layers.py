#!/usr/bin/env python3
"""Checks the include rules of src/ (and the companions), on two axes.

Logic files (everything that is not a window file):
- include only logic headers of their own folder or of a floor below:
  core < dicom < store, net < dose < edit, io
- include no window header and no Qt Widgets header
Window files (the window-file pattern: ui/, dialogs/ and app/, and files named
...Panel, ...Page, ...Form, ...Widget, ...Dialog, ...Commands):
- may include any logic header and ui/
- include other window headers only from their own folder; app/ includes all
Everywhere:
- nothing includes app/; src/core includes no other folder of ours
- <dcmtk/...> and the toolkit's support header "dicom/DcmSupport.h" only inside src/dicom
- the companions and peers/ (they link the logic library only) include no window code
  and no Qt Widgets header; peers/ (what tests, benchmarks and the demo room start)
  includes no Qt Test header either

The window-file pattern is the one CMake sorts the sources into the two libraries with;
CMake passes it (--window-pattern), so the rule and the build cannot drift apart.

Every violation is printed as file:line: rule. Exit code 1 when there is one.
  check_layers.py [--window-pattern RE] ROOT   check the tree at ROOT
  check_layers.py [--window-pattern RE] --selftest
                                   plant a violation of each kind in a scratch tree
"""
import argparse
import glob
import os
import re
import sys
import tempfile

LOGIC_FLOOR = {"core": 0, "dicom": 1, "store": 2, "net": 2, "dose": 3, "edit": 4, "io": 4}
OURS = set(LOGIC_FLOOR) | {"ui", "dialogs", "app"}
# The pattern CMake uses when none is given (kept equal to CALVAREX_WINDOW_FILE).
DEFAULT_WINDOW_PATTERN = r"/src/(ui|dialogs|app)/|(Panel|Page|Form|Widget|Dialog|Commands)\.(cpp|h)$"
SUPPORT_HEADER = "dicom/DcmSupport.h"
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


class Rules:
    def __init__(self, window_pattern):
        self.window = re.compile(window_pattern)

    def is_window(self, rel):
        # The pattern is written for paths as CMake sees them (absolute, with "/src/").
        return self.window.search("/" + rel) is not None

    def check(self, root, widgets):
        problems = []
        files = []
        for base in ("src", "companions", "peers"):
            for dirpath, _, names in os.walk(os.path.join(root, base)):
                for n in names:
                    if n.endswith((".cpp", ".h")):
                        files.append(os.path.join(dirpath, n))
        for path in sorted(files):
            rel = os.path.relpath(path, root).replace(os.sep, "/")
            with open(path, encoding="utf-8", errors="replace") as f:
                for lineno, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if m:
                        problems += self.check_include(rel, f"{rel}:{lineno}", m.group(1), m.group(2), widgets)
        return problems

    def check_include(self, rel, where, quote, target, widgets):
        parts = rel.split("/")
        in_src = parts[0] == "src"
        folder = parts[1] if in_src and len(parts) > 2 else None
        window = in_src and self.is_window(rel)
        out = []
        if quote == "<" and target.startswith("dcmtk/") and folder != "dicom":
            out.append(f"{where}: <{target}> outside src/dicom (only the DICOM layer talks to DCMTK)")
        if quote == "<" and not window and is_widget_include(target, widgets):
            out.append(f"{where}: widget header <{target}> in a logic file")
        if quote == "<" and parts[0] == "peers" and (target == "QTest" or target.startswith(("QtTest", "QSignalSpy"))):
            out.append(f"{where}: Qt Test header <{target}> in peers/ (it is no test library)")
        if quote != '"' or "/" not in target:
            return out
        other = target.split("/")[0]
        if other not in OURS:
            return out
        if target == SUPPORT_HEADER and folder != "dicom":
            out.append(f"{where}: \"{target}\" outside src/dicom (the toolkit's support header stays in the DICOM layer)")
        target_window = self.is_window("src/" + target)
        if not in_src:
            # The companions and the peers link the logic library only.
            if target_window:
                out.append(f"{where}: {parts[0]} file includes window code \"{target}\"")
            return out
        if folder not in OURS or other == folder:
            return out
        if other == "app":
            out.append(f"{where}: includes \"{target}\" (nothing includes app/)")
        elif folder == "core":
            out.append(f"{where}: src/core includes \"{target}\" (core stands alone)")
        elif not window:
            if target_window:
                out.append(f"{where}: logic file includes window code \"{target}\"")
            elif LOGIC_FLOOR[other] >= LOGIC_FLOOR[folder]:
                out.append(f"{where}: logic file in {folder}/ includes \"{target}\" from a floor not below it")
        elif folder != "app" and target_window and other != "ui":
            out.append(f"{where}: window file in {folder}/ includes window header \"{target}\" of another folder")
        return out


def selftest(rules):
    planted = {
        "src/core/Bad.h": '#include "store/Schema.h"\n',
        "src/store/Logic.cpp": '#include <QTreeWidget>\n#include "dose/DoseState.h"\n',
        "src/net/Peer.cpp": '#include <dcmtk/dcmdata/dctk.h>\n#include "dicom/DcmSupport.h"\n',
        "src/dose/Thing.cpp": '#include "app/MainForm.h"\n',
        "src/dose/Records.cpp": '#include "ui/CommandTable.h"\n#include "store/BrowserPanel.h"\n',
        "src/dose/DoseListPanel.cpp": '#include "net/WorklistForm.h"\n',
        "src/edit/TaskPanel.cpp": '#include "dialogs/DatabaseForm.h"\n',
        "companions/TqX/main.cpp": '#include "store/BrowserPanel.h"\n#include "ui/Colours.h"\n',
        "peers/Pacs.cpp": ('#include <dcmtk/dcmnet/scu.h>\n#include <QTest>\n#include <QWidget>\n'
                           '#include "store/BrowserPanel.h"\n#include "dicom/Uid.h"\n'),
        # Files that keep the rules.
        "src/store/Fine.cpp": '#include "core/Station.h"\n#include "dicom/Image.h"\n#include <QString>\n',
        "src/store/BrowserPanel.cpp": ('#include <QTreeWidget>\n#include "ui/CommandTable.h"\n'
                                       '#include "edit/EditSession.h"\n#include "store/ViewerWidget.h"\n'),
        "src/net/SendCommands.cpp": '#include <QMenu>\n#include "dose/DoseMerge.h"\n',
        "src/dicom/Image.cpp": '#include <dcmtk/dcmdata/dctk.h>\n#include "dicom/DcmSupport.h"\n',
        "src/app/MainForm.cpp": '#include "store/BrowserPanel.h"\n#include "dialogs/OptionForm.h"\n',
        "companions/TqY/main.cpp": '#include "store/ImageFiler.h"\n',
    }
    expected = [
        "src/core/Bad.h:1: src/core includes",
        "src/store/Logic.cpp:1: widget header <QTreeWidget>",
        "src/store/Logic.cpp:2: logic file in store/ includes \"dose/DoseState.h\"",
        "src/net/Peer.cpp:1: <dcmtk/dcmdata/dctk.h> outside src/dicom",
        "src/net/Peer.cpp:2: \"dicom/DcmSupport.h\" outside src/dicom",
        "src/dose/Thing.cpp:1: includes \"app/MainForm.h\" (nothing includes app/)",
        "src/dose/Records.cpp:1: logic file includes window code \"ui/CommandTable.h\"",
        "src/dose/Records.cpp:2: logic file includes window code \"store/BrowserPanel.h\"",
        "src/dose/DoseListPanel.cpp:1: window file in dose/ includes window header \"net/WorklistForm.h\"",
        "src/edit/TaskPanel.cpp:1: window file in edit/ includes window header \"dialogs/DatabaseForm.h\"",
        "companions/TqX/main.cpp:1: companions file includes window code \"store/BrowserPanel.h\"",
        "companions/TqX/main.cpp:2: companions file includes window code \"ui/Colours.h\"",
        "peers/Pacs.cpp:1: <dcmtk/dcmnet/scu.h> outside src/dicom",
        "peers/Pacs.cpp:2: Qt Test header <QTest>",
        "peers/Pacs.cpp:3: widget header <QWidget>",
        "peers/Pacs.cpp:4: peers file includes window code \"store/BrowserPanel.h\"",
    ]
    with tempfile.TemporaryDirectory() as root:
        for rel, text in planted.items():
            os.makedirs(os.path.dirname(os.path.join(root, rel)), exist_ok=True)
            with open(os.path.join(root, rel), "w") as f:
                f.write(text)
        got = rules.check(root, FALLBACK_WIDGETS)
    ok = True
    for e in expected:
        if not any(p.startswith(e) for p in got):
            print(f"selftest: expected a report starting with: {e}")
            ok = False
    for p in got:
        if not any(p.startswith(e) for e in expected):
            print(f"selftest: reported something that keeps the rules: {p}")
            ok = False
    print("selftest " + ("passed" if ok else "FAILED") + f" ({len(expected)} planted violations)")
    return 0 if ok else 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--window-pattern", default=DEFAULT_WINDOW_PATTERN)
    parser.add_argument("--selftest", action="store_true")
    parser.add_argument("root", nargs="?", default=os.path.join(os.path.dirname(__file__), "..", ".."))
    args = parser.parse_args()
    rules = Rules(args.window_pattern)
    if args.selftest:
        return selftest(rules)
    problems = rules.check(args.root, widget_headers())
    for p in problems:
        print(p)
    print(f"{len(problems)} include rule violation(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
