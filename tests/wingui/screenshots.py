"""Screenshots of the Windows wizard under Wine: every page, the message
boxes and the directory chooser, in one language. scripts/screenshots-windows
runs it once per language; the pictures go to SETUP_SHOT_DIR as PNG files.

    SETUP_SHOT_LANG=ru SETUP_SHOT_DIR=... SETUP_EXE=... OKDPACK=... WINEPREFIX=... python3 screenshots.py
"""
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wingui import BROWSE, FINISH, IDOK, IDYES, NEXT, PATH_FIELD, WizardCase, control, windows_path

LANGUAGE = os.environ.get('SETUP_SHOT_LANG', 'en')
OUT = os.environ.get('SETUP_SHOT_DIR', 'screenshots')
# The system's own texts (Yes, No, the chooser's) follow Wine's locale.
LOCALES = {'ru': 'ru_RU.UTF-8'}


class Screenshots(WizardCase):

    def launch(self, *args):
        self.start(*(list(args) + ['/L' + LANGUAGE]), lang=LOCALES.get(LANGUAGE, 'C.UTF-8'))

    def pack_for(self, many=False):
        files = {'a.txt': 'alpha', 'b.txt': 'beta', 'docs/readme.txt': 'read me'}
        if many:
            files.update({'f%04d.txt' % i: 'file %d ' % i * 200 for i in range(1500)})
        self.pack(files)

    def shoot(self, name, window):
        """The window as it stands on the screen, once it has drawn."""
        time.sleep(0.5)
        x, y, w, h = window['rect']
        os.makedirs(OUT, exist_ok=True)
        path = os.path.join(OUT, '%s-%s.png' % (LANGUAGE, name))
        subprocess.run(['import', '-window', 'root', '-crop', '%dx%d+%d+%d' % (w, h, x, y), '+repage', path],
                       env=self.desktop.env, check=True, timeout=30)

    def test_1_welcome_destination_chooser_plain_progress_success(self):
        self.pack_for(many=True)
        target = os.path.join(self.scratch, 'Vorlagen')
        self.propose(target)
        self.launch()
        sheet = self.wait_page('welcome')
        self.shoot('1-welcome', sheet)
        self.click_id(sheet, NEXT, parent=0)
        sheet = self.wait_page('destination')
        self.shoot('2-destination', sheet)
        self.click_id(sheet, BROWSE)
        chooser = self.wait_picture('the chooser', lambda p: p.chooser())
        self.shoot('3-chooser', chooser)
        self.key(chooser, 'Escape')
        sheet = self.wait_page('destination')
        self.click(control(sheet, PATH_FIELD))
        self.key(sheet, 'End', 'shift+Home', 'BackSpace')
        self.click_id(sheet, NEXT, parent=0)
        box = self.wait_box('plain')
        self.shoot('4-message-plain', box)
        self.click_id(box, IDOK)
        sheet = self.wait_page('destination')
        self.click(control(sheet, PATH_FIELD))
        self.type_text(sheet, windows_path(target))
        self.click_id(sheet, NEXT, parent=0)
        self.wait_event('page', 'progress')
        sheet = self.wait_picture('progress under way', lambda p: p.sheet() if control(p.sheet() or {'controls': []},
                                                                                        1003) else None)
        self.shoot('5-progress', sheet)
        sheet = self.wait_page('success', seconds=120)
        self.shoot('6-success', sheet)
        self.click_id(sheet, FINISH, parent=0)
        self.exit_status()

    def test_2_question_and_cancel_page(self):
        self.pack_for()
        self.propose(os.path.join(self.scratch, 'proposed'))
        self.launch()
        sheet = self.wait_page('welcome')
        self.key(sheet, 'Escape')
        box = self.wait_box('question')
        self.shoot('7-message-question', box)
        self.click_id(box, IDYES)
        sheet = self.wait_page('cancel')
        self.shoot('8-cancel', sheet)
        self.click_id(sheet, FINISH, parent=0)
        self.exit_status()

    def test_3_error_box_and_error_page(self):
        self.pack_for()
        target = os.path.join(self.scratch, 'target')
        self.put(os.path.join(target, 'docs'), 'not a directory')
        self.propose(target)
        self.launch()
        self.click_id(self.wait_page('welcome'), NEXT, parent=0)
        self.click_id(self.wait_page('destination'), NEXT, parent=0)
        box = self.wait_box('error', seconds=60)
        self.shoot('9-message-error', box)
        self.click_id(box, IDOK)
        sheet = self.wait_page('error', seconds=60)
        self.shoot('10-error', sheet)
        self.click_id(sheet, FINISH, parent=0)
        self.exit_status()


if __name__ == '__main__':
    unittest.main()
