"""What the Windows GUI tests share: a private Xvfb with a wineserver of its
own, setup.exe started beside a kit under Wine, the widget trace it writes
(SETUP_UI_TRACE, one JSON line per picture or event) and xdotool to click
and type. Every wait is bounded and polls the trace; nothing sleeps a fixed
time to let the program catch up.
"""
import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest

SETUP_EXE = os.environ.get('SETUP_EXE', '')
OKDPACK = os.environ.get('OKDPACK', '')
PREFIX = os.environ.get('WINEPREFIX', '')
SCRATCH_ROOT = os.environ.get('SETUP_GUI_SCRATCH', tempfile.gettempdir())

# Control ids of the sheet and the pages.
BACK, NEXT, FINISH, CANCEL, HELP = 0x3023, 0x3024, 0x3025, 2, 9
WELCOME_TEXT, PATH_FIELD, BROWSE, PROGRESS_BAR, CHECK = 1005, 1001, 1002, 1003, 1004
CHOOSER_SELECT, CHOOSER_FIELD = 4206, 4203
IDOK, IDYES, IDNO = 1, 6, 7

TABLES = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), 'i18n', 'tables')


def catalogue(code):
    texts = {}
    with open(os.path.join(TABLES, code + '.txt'), encoding='utf-8') as f:
        for line in f:
            if '=' in line and not line.startswith('#'):
                key, value = line.rstrip('\n').split('=', 1)
                texts[key] = value
    return texts


def windows_path(path):
    """The Unix path as the program sees it, through drive Z:."""
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


def run(argv, env=None, timeout=30):
    return subprocess.run(argv, env=env, timeout=timeout, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          stdin=subprocess.DEVNULL)


class Desktop:
    """An X server and a wineserver for one test program, both ended after it."""

    def __init__(self):
        self.xvfb = None
        display = os.environ.get('SETUP_GUI_DISPLAY')
        if display:
            self.xvfb = subprocess.Popen(['Xvfb', display, '-screen', '0', '1024x768x24', '-nolisten', 'tcp'],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.name = display
        else:
            read, write = os.pipe()
            self.xvfb = subprocess.Popen(['Xvfb', '-displayfd', str(write), '-screen', '0', '1024x768x24',
                                          '-nolisten', 'tcp'], pass_fds=(write,),
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(write)
            number = b''
            deadline = time.time() + 30
            while not number.endswith(b'\n') and time.time() < deadline:
                chunk = os.read(read, 16)
                if not chunk:
                    break
                number += chunk
            os.close(read)
            if not number.endswith(b'\n'):
                self.close()
                raise RuntimeError('Xvfb did not start')
            self.name = ':' + number.decode().strip()
        self.env = dict(os.environ, DISPLAY=self.name, WINEDEBUG='-all', WINEPREFIX=PREFIX)
        self.env.pop('LC_ALL', None)
        self.env['LANG'] = 'C.UTF-8'
        deadline = time.time() + 20
        while run(['xdpyinfo'], self.env).returncode != 0:
            if time.time() > deadline:
                self.close()
                raise RuntimeError('Xvfb on %s did not answer' % self.name)
            time.sleep(0.1)
        # One server for the test, whose background programs see this display.
        try:
            for argv in (['wineserver', '-k'], ['wineserver', '-w'], ['wineserver', '-p'],
                         ['wine', 'cmd', '/c', 'exit', '0']):
                # Detached from our pipes: Wine's background programs outlive
                # the command and would hold them open.
                subprocess.run(argv, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, timeout=120)
        except subprocess.TimeoutExpired:
            self.close()
            raise

    def close(self):
        if PREFIX:
            subprocess.run(['wineserver', '-k'], env=dict(os.environ, WINEPREFIX=PREFIX), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        if self.xvfb:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
            self.xvfb = None


class Trace:
    def __init__(self, path):
        self.path = path

    def records(self):
        try:
            with open(self.path, encoding='utf-8') as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        out = []
        for line in lines:
            try:
                out.append(json.loads(line))
            except ValueError:
                pass  # a line being written
        return out

    def snapshots(self):
        return [r for r in self.records() if 'snapshot' in r]

    def events(self, name=None):
        return [r for r in self.records() if 'event' in r and (name is None or r['event'] == name)]


class Picture:
    """One snapshot: the visible top-level windows and their controls."""

    def __init__(self, record):
        self.record = record
        self.windows = record['windows']

    def sheet(self):
        for w in self.windows:
            if any(c['id'] == NEXT and c['parent'] == 0 for c in w['controls']):
                return w
        return None

    def box(self):
        """A message box: a dialog window that is neither the sheet nor the chooser."""
        for w in self.windows:
            ids = {c['id'] for c in w['controls']}
            if w['class'] == '#32770' and not ids & {NEXT, CHOOSER_SELECT, 1148}:
                return w
        return None

    def chooser(self):
        for w in self.windows:
            if any(c['id'] == CHOOSER_SELECT for c in w['controls']):
                return w
        return None


def control(window, ident, visible_only=True, parent=None):
    for c in window['controls']:
        if c['id'] == ident and (not visible_only or c['visible']) and (parent is None or c['parent'] == parent):
            return c
    return None


class WizardCase(unittest.TestCase):
    """One setup.exe under Wine per test, in a scratch directory of its own."""

    desktop = None

    @classmethod
    def setUpClass(cls):
        if not (SETUP_EXE and OKDPACK and PREFIX):
            raise unittest.SkipTest('SETUP_EXE, OKDPACK and WINEPREFIX are needed')
        for tool in ('Xvfb', 'xdotool', 'wine', 'xdpyinfo'):
            if not shutil.which(tool):
                raise unittest.SkipTest(tool + ' is missing')
        if os.environ.get('SETUP_WINE_ENV'):
            # Makes the prefix on first use; cheap once it is there.
            made = subprocess.run([os.environ['SETUP_WINE_ENV'], PREFIX], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=600)
            if made.returncode != 0:
                raise RuntimeError('no Wine prefix: ' + made.stderr.decode(errors='replace'))
        cls.desktop = Desktop()

    @classmethod
    def tearDownClass(cls):
        if cls.desktop:
            cls.desktop.close()

    def problems(self):
        result = self._outcome.result
        return len(result.failures) + len(result.errors)

    def setUp(self):
        self.problems_before = self.problems()
        os.makedirs(SCRATCH_ROOT, exist_ok=True)
        self.scratch = tempfile.mkdtemp(prefix='wingui-', dir=SCRATCH_ROOT)
        self.app = os.path.join(self.scratch, 'app')
        os.makedirs(self.app)
        shutil.copy(SETUP_EXE, os.path.join(self.app, 'setup.exe'))
        self.trace = Trace(os.path.join(self.scratch, 'trace.jsonl'))
        self.process = None
        self.user = self.wine_user()
        self.starter = os.path.join(PREFIX, 'drive_c', 'users', self.user, 'AppData', 'Roaming', 'Orvik',
                                    'OrvikStart', 'orvikstart.cfg')
        self.temp = os.path.join(PREFIX, 'drive_c', 'users', self.user, 'Temp')
        shutil.rmtree(os.path.dirname(os.path.dirname(self.starter)), ignore_errors=True)
        self.temp_before = self.temp_entries()

    def tearDown(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)
        # A failed test keeps its scratch directory and trace for a look.
        failed = self.problems() > self.problems_before or os.environ.get('SETUP_GUI_KEEP')
        if not failed:
            # Help is never enabled, on any page of any run.
            for record in self.trace.snapshots():
                sheet = Picture(record).sheet()
                if sheet:
                    help_button = control(sheet, HELP, visible_only=False, parent=0)
                    self.assertTrue(help_button is None or not help_button['enabled'], 'Help enabled')
            shutil.rmtree(os.path.dirname(os.path.dirname(self.starter)), ignore_errors=True)
            shutil.rmtree(self.scratch, ignore_errors=True)
        else:
            print('trace kept in', self.trace.path)

    # ---- set-up helpers --------------------------------------------------

    def wine_user(self):
        users = os.path.join(PREFIX, 'drive_c', 'users')
        names = [n for n in os.listdir(users) if n not in ('Public', 'Default')] if os.path.isdir(users) else []
        return names[0] if names else os.environ.get('USER', 'root')

    def temp_entries(self):
        if not os.path.isdir(self.temp):
            return set()
        return {n for n in os.listdir(self.temp) if n.lower().startswith(('odk', 'v8stp'))}

    def put(self, path, text):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'w', encoding='utf-8') as f:
            f.write(text)

    def read(self, path):
        with open(path, encoding='utf-8') as f:
            return f.read()

    def tree(self, root):
        found = {}
        for directory, _, files in os.walk(root):
            for name in files:
                path = os.path.join(directory, name)
                with open(path, 'rb') as f:
                    found[os.path.relpath(path, root)] = f.read()
        return found

    def pack(self, files=None, reference='docs\\readme.txt'):
        source = os.path.join(self.scratch, 'src')
        files = files or {'a.txt': 'alpha', 'b.txt': 'beta', 'docs/readme.txt': 'read me'}
        for name, text in files.items():
            self.put(os.path.join(source, name), text)
        result = run([OKDPACK, '--describe', 'en', 'Demo', 'Shop', reference, '--describe', 'ru', 'Демо', 'Магазин',
                      reference, source, os.path.join(self.app, 'orvikv8.okd')], timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors='replace'))

    def propose(self, directory):
        """A starter file whose first directory the program proposes."""
        self.put(self.starter, 'ConfigurationTemplatesLocation=%s\n' % windows_path(directory))

    def start(self, *args, lang='C.UTF-8', out=None):
        """Starts setup.exe; its standard error (with Wine's own report of a
        crash) goes to wine.log beside the trace, its standard output there
        too or to the file `out`."""
        env = dict(self.desktop.env, SETUP_UI_TRACE=windows_path(self.trace.path), LANG=lang)
        with open(os.path.join(self.scratch, 'wine.log'), 'wb') as log, open(out or os.devnull, 'wb') as output:
            self.process = subprocess.Popen(['wine', os.path.join(self.app, 'setup.exe')] + list(args), env=env,
                                            stdin=subprocess.DEVNULL, stdout=output if out else log, stderr=log,
                                            cwd=self.app)

    def exit_status(self, seconds=30):
        try:
            return self.process.wait(seconds)
        except subprocess.TimeoutExpired:
            self.fail('setup.exe did not end; trace in ' + self.trace.path)

    def assert_temp_clean(self):
        self.assertEqual(self.temp_entries() - self.temp_before, set(), 'left in the temporary directory')

    # ---- waiting on the trace --------------------------------------------

    def wait_until(self, what, predicate, seconds=30):
        """Polls the trace until predicate(records) gives something true."""
        deadline = time.time() + seconds
        while True:
            result = predicate(self.trace.records())
            if result:
                return result
            if self.process and self.process.poll() is not None:
                result = predicate(self.trace.records())
                if result:
                    return result
                self.fail('setup.exe ended (status %s) while waiting for %s; trace in %s'
                          % (self.process.returncode, what, self.trace.path))
            if time.time() > deadline:
                self.fail('no %s within %d s; trace in %s' % (what, seconds, self.trace.path))
            time.sleep(0.05)

    def wait_event(self, name, text=None, after=0, seconds=30):
        def find(records):
            events = [r for r in records if r.get('event') == name and (text is None or r['text'] == text)]
            return events[after] if len(events) > after else None
        return self.wait_until('event %s %s' % (name, text or ''), find, seconds)

    def count_events(self, name, text=None):
        return len([r for r in self.trace.events(name) if text is None or r['text'] == text])

    def wait_picture(self, what, predicate, seconds=30):
        """The latest picture for which predicate(picture) gives something true."""
        def find(records):
            snapshots = [r for r in records if 'snapshot' in r]
            if snapshots:
                return predicate(Picture(snapshots[-1]))
            return None
        return self.wait_until(what, find, seconds)

    def wait_page(self, page, after=0, seconds=30):
        self.wait_event('page', page, after, seconds)
        return self.wait_picture('the %s page settled' % page, lambda p: self.settled_sheet(p, page))

    # The control that shows a page is up.
    PAGE_CONTROLS = {'welcome': 1005, 'destination': 1001, 'progress': 1003, 'cancel': 1008, 'error': 1007,
                     'success': 1006}

    def settled_sheet(self, picture, page):
        """The sheet once it shows `page` with its buttons set, and no box over it."""
        sheet = picture.sheet()
        if not sheet or picture.box() or picture.chooser() or not control(sheet, self.PAGE_CONTROLS[page]):
            return None
        final = page in ('cancel', 'error', 'success')
        if bool(control(sheet, FINISH, parent=0)) != final:
            return None
        return sheet

    def wait_box(self, kind, seconds=30):
        self.wait_event('message.' + kind, seconds=seconds)
        return self.wait_picture('a %s box' % kind, lambda p: p.box(), seconds)

    # ---- input -----------------------------------------------------------

    def xdotool(self, *args):
        result = run(['xdotool'] + list(args), self.desktop.env, timeout=20)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors='replace'))
        return result.stdout.decode()

    def click(self, ctl):
        x, y, w, h = ctl['rect']
        # No --sync: it waits for a motion that never comes when the pointer
        # is already there (Finish stands where Next stood). The server takes
        # the move before the click in any case.
        self.xdotool('mousemove', str(x + w // 2), str(y + h // 2), 'click', '1')

    def click_id(self, window, ident, parent=None):
        c = control(window, ident, parent=parent)
        self.assertIsNotNone(c, 'no control %d' % ident)
        self.assertTrue(c['enabled'], 'control %d is disabled' % ident)
        self.click(c)

    def focus(self, window):
        """Gives the X keyboard focus to a Win32 top-level window: the X window
        of the program that stands where it stands."""
        x, y, w, h = window['rect']
        best, best_distance = None, None
        for ident in self.xdotool('search', '--onlyvisible', '--class', 'setup.exe').split():
            values = dict(line.split('=', 1) for line in self.xdotool('getwindowgeometry', '--shell', ident).split())
            distance = (abs(int(values['X']) - x) + abs(int(values['Y']) - y) + abs(int(values['WIDTH']) - w)
                        + abs(int(values['HEIGHT']) - h))
            if best_distance is None or distance < best_distance:
                best, best_distance = ident, distance
        self.assertIsNotNone(best, 'no X window for %s' % window['title'])
        self.xdotool('windowfocus', '--sync', best)

    def key(self, window, *keys):
        self.focus(window)
        self.xdotool('key', '--delay', '20', *keys)

    def type_text(self, window, text):
        self.focus(window)
        self.xdotool('type', '--delay', '20', text)
