"""The Windows wizard under Wine, driven with xdotool and checked against the
trace of what its windows show and against what lands on disk.

    SETUP_EXE=... OKDPACK=... WINEPREFIX=... python3 test_wizard.py [Case.test...]
"""
import json
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wingui import (BACK, BROWSE, CANCEL, CHECK, CHOOSER_FIELD, CHOOSER_SELECT, FINISH, HELP, IDNO, IDOK, IDYES,
                    NEXT, PATH_FIELD, PROGRESS_BAR, WELCOME_TEXT, Picture, WizardCase, catalogue, control,
                    windows_path)

EN = catalogue('en')


class Wizard(WizardCase):

    def enter_path(self, sheet, path):
        field = control(sheet, PATH_FIELD)
        self.click(field)
        self.key(sheet, 'End', 'shift+Home', 'BackSpace')
        if path:
            self.type_text(sheet, path)
        self.wait_picture('the path typed', lambda p: p.sheet() and
                          control(p.sheet(), PATH_FIELD)['text'] == path)

    def buttons(self, sheet):
        """What the row of buttons shows: name -> (visible, enabled) of the buttons one can see."""
        out = {}
        for name, ident in (('back', BACK), ('next', NEXT), ('finish', FINISH), ('cancel', CANCEL), ('help', HELP)):
            c = control(sheet, ident, visible_only=False, parent=0)
            out[name] = None if not c else (c['visible'], c['enabled']) if c['visible'] else 'hidden'
        return out

    def test_happy_path_with_a_typed_directory(self):
        self.pack()
        proposed = os.path.join(self.scratch, 'proposed')
        os.makedirs(proposed)
        self.propose(proposed)
        target = os.path.join(self.scratch, 'target')
        self.start()
        sheet = self.wait_page('welcome')
        self.assertEqual(sheet['title'], EN['IDS_TITLE_INSTALLER'])
        self.assertEqual(control(sheet, WELCOME_TEXT)['text'], EN['IDS_WELCOME_TITLE'] + ' Demo (Shop).')
        self.assertEqual(self.buttons(sheet), {'back': (True, False), 'next': (True, True), 'finish': 'hidden',
                                               'cancel': (True, True), 'help': (True, False)})
        self.assertEqual([c['text'] for c in sheet['controls'] if c['id'] in (BACK, NEXT, CANCEL) and c['parent'] == 0],
                         [EN['IDS_WIZARD_BACK'], EN['IDS_WIZARD_NEXT'], EN['IDS_WIZARD_CANCEL']])
        self.click_id(sheet, NEXT, parent=0)

        sheet = self.wait_page('destination')
        self.assertEqual(control(sheet, PATH_FIELD)['text'], windows_path(proposed))
        self.assertEqual(self.buttons(sheet)['back'], (True, True))
        self.enter_path(sheet, windows_path(target))
        self.click_id(sheet, NEXT, parent=0)

        self.wait_page('progress')
        sheet = self.wait_page('success', seconds=60)
        self.assertEqual(sheet['title'], EN['IDS_TITLE_INSTALLER'])
        self.assertEqual(self.buttons(sheet), {'back': 'hidden', 'next': 'hidden', 'finish': (True, True),
                                               'cancel': (True, False), 'help': (True, False)})
        self.assertEqual(control(sheet, FINISH, parent=0)['text'], EN['IDS_WIZARD_FINISH'])
        check = control(sheet, CHECK)
        self.assertTrue(check and check['check'], 'the description is offered and checked')
        self.assertEqual(check['text'], EN['IDS_SUCCESS_OPENDESCR'])
        self.assertEqual(self.tree(target), {'a.txt': b'alpha', 'b.txt': b'beta', os.path.join('docs', 'readme.txt'):
                                             b'read me'})
        starter = self.read(self.starter)
        self.assertTrue(starter.startswith('ConfigurationTemplatesLocation=%s\n' % windows_path(target)), starter)
        self.assertIn('ConfigurationTemplatesLocation=%s' % windows_path(proposed), starter)

        self.click_id(sheet, FINISH, parent=0)
        self.assertEqual(self.exit_status(), 0)
        self.assertEqual([e['text'] for e in self.trace.events('open')],
                         [windows_path(target) + '\\docs\\readme.txt'])
        self.assertEqual(self.count_events('message.error'), 0)
        self.assert_temp_clean()

    def test_an_empty_path_gets_the_plain_message_and_the_page_stays(self):
        self.pack()
        self.propose(os.path.join(self.scratch, 'proposed'))
        self.start()
        self.click_id(self.wait_page('welcome'), NEXT, parent=0)
        sheet = self.wait_page('destination')
        self.enter_path(sheet, '')
        self.click_id(sheet, NEXT, parent=0)
        box = self.wait_box('plain')
        texts = [c['text'] for c in box['controls'] if c['class'] == 'Static' and c['text']]
        self.assertIn(EN['IDS_SETUP_EMPTYTARGET'], texts)
        self.assertEqual(box['title'], EN['IDR_MAINFRAME'])
        self.assertFalse([c for c in box['controls'] if c.get('image') and c['visible']], 'a plain box has no icon')
        self.assertEqual(sorted(c['id'] for c in box['controls'] if c['class'] == 'Button' and c['visible']), [IDOK])
        self.click_id(box, IDOK)
        self.wait_event('answer', 'ok')
        sheet = self.wait_page('destination')
        self.assertEqual(self.count_events('page', 'progress'), 0)
        # Back and Next again: the field keeps what was typed (nothing).
        self.click_id(sheet, BACK, parent=0)
        self.click_id(self.wait_page('welcome', after=1), NEXT, parent=0)
        sheet = self.wait_page('destination', after=1)
        self.assertEqual(control(sheet, PATH_FIELD)['text'], '')

    def test_escape_on_welcome_and_yes_reach_the_cancel_page(self):
        self.pack()
        target = os.path.join(self.scratch, 'proposed')
        self.propose(target)
        self.start()
        sheet = self.wait_page('welcome')
        self.key(sheet, 'Escape')
        box = self.wait_box('question')
        self.assertIn(EN['IDS_ACCEPT_CANCEL'], [c['text'] for c in box['controls']])
        self.assertEqual(sorted(c['id'] for c in box['controls'] if c['class'] == 'Button' and c['visible']),
                         [IDYES, IDNO])
        self.click_id(box, IDYES)
        sheet = self.wait_page('cancel')
        self.assertEqual(self.buttons(sheet)['cancel'], (True, False))
        self.assertEqual(self.buttons(sheet)['finish'], (True, True))
        # Escape does nothing on a final page: no second question.
        self.key(sheet, 'Escape')
        self.click_id(sheet, FINISH, parent=0)
        self.assertEqual(self.exit_status(), 2)
        self.assertEqual(self.count_events('message.question'), 1)
        self.assertFalse(os.path.exists(target))
        self.assert_temp_clean()

    def old_tree(self, target):
        self.put(os.path.join(target, 'a.txt'), 'old alpha')
        self.put(os.path.join(target, 'keep.txt'), 'mine')
        return self.tree(target)

    def prepare_failing_run(self):
        """A kit whose run fails: a file stands where it needs its docs
        directory. Gives the target, its tree and the starter file before."""
        self.pack()
        target = os.path.join(self.scratch, 'target')
        self.put(os.path.join(target, 'docs'), 'not a directory')
        before = self.old_tree(target)
        self.propose(target)
        return target, before, self.read(self.starter)

    def test_cancel_during_a_long_run_keeps_the_tree_and_shows_the_error_page(self):
        # Enough files that the run is still going when the question comes.
        files = {'f%04d.txt' % i: 'file %d ' % i * 200 for i in range(3000)}
        files['a.txt'] = 'alpha'
        self.pack(files)
        target = os.path.join(self.scratch, 'target')
        before = self.old_tree(target)
        self.propose(target)
        starter = self.read(self.starter)
        self.start()
        self.click_id(self.wait_page('welcome'), NEXT, parent=0)
        self.click_id(self.wait_page('destination'), NEXT, parent=0)
        sheet = self.wait_picture('the progress page', lambda p: p.sheet() if self.count_events('page', 'progress')
                                  else None)
        self.assertEqual(self.buttons(sheet)['cancel'], (True, True))
        self.key(sheet, 'Escape')
        box = self.wait_box('question')
        # The question came while files were still being copied.
        records = self.trace.records()
        asked = next(i for i, r in enumerate(records) if r.get('event') == 'message.question')
        shown = [r for r in records[:asked] if 'snapshot' in r][-1]
        bar = control(Picture(shown).sheet(), PROGRESS_BAR)
        self.assertLess(bar['pos'], 100)
        self.click_id(box, IDYES)
        sheet = self.wait_page('error', seconds=120)
        self.assertEqual(self.count_events('message.error'), 0, 'a cancelled run shows no error box')
        self.assertEqual(self.tree(target), before)
        self.click_id(sheet, FINISH, parent=0)
        self.assertEqual(self.exit_status(), 2)
        self.assertEqual(self.read(self.starter), starter, 'the starter file is untouched')
        self.assert_temp_clean()

    def test_a_failing_run_shows_the_error_box_then_the_error_page_and_rolls_back(self):
        target, before, starter = self.prepare_failing_run()
        self.start()
        self.click_id(self.wait_page('welcome'), NEXT, parent=0)
        self.click_id(self.wait_page('destination'), NEXT, parent=0)
        box = self.wait_box('error', seconds=60)
        self.assertIn(EN['IDS_INSTALL_ERROR'], [c['text'] for c in box['controls']])
        self.assertEqual(self.count_events('page', 'error'), 0, 'the error page waits for the box')
        self.click_id(box, IDOK)
        sheet = self.wait_page('error', seconds=60)
        self.assertEqual(self.tree(target), before)
        self.click_id(sheet, FINISH, parent=0)
        self.assertEqual(self.exit_status(), 1)
        self.assertEqual(self.read(self.starter), starter, 'the starter file is untouched')
        self.assert_temp_clean()

    def test_a_silent_run_shows_only_cancel_advances_by_itself_and_closes(self):
        self.pack()
        target = os.path.join(self.scratch, 'target')
        os.makedirs(target)
        self.propose(target)
        self.start('/S')
        sheet = self.wait_page('welcome')
        shown = time.time()
        self.assertEqual(self.buttons(sheet), {'back': 'hidden', 'next': 'hidden',
                                               'finish': 'hidden', 'cancel': (True, True),
                                               'help': (True, False)})
        self.wait_event('page', 'progress', seconds=20)
        waited = time.time() - shown
        self.assertGreater(waited, 1.5)
        self.assertLess(waited, 8)
        sheet = self.wait_picture('the progress page', lambda p: p.sheet())
        self.assertEqual(self.buttons(sheet)['cancel'], (True, True))
        self.assertEqual(self.exit_status(), 0)
        self.assertEqual(self.tree(target)['a.txt'], b'alpha')
        self.assertTrue(self.read(self.starter).startswith('ConfigurationTemplatesLocation=%s\n'
                                                           % windows_path(target)))
        self.assertEqual(self.count_events('page', 'success'), 0)
        self.assert_temp_clean()

    def test_a_failing_silent_run_shows_its_error_and_closes_without_recording(self):
        target, before, starter = self.prepare_failing_run()
        self.start('/S')
        box = self.wait_box('error', seconds=60)
        self.assertIn(EN['IDS_INSTALL_ERROR'], [c['text'] for c in box['controls']])
        self.click_id(box, IDOK)
        self.assertEqual(self.exit_status(), 1)
        self.assertEqual(self.count_events('page', 'error'), 0, 'a silent run has no error page')
        self.assertEqual(self.tree(target), before)
        self.assertEqual(self.read(self.starter), starter)
        self.assert_temp_clean()

    def report(self, path):
        with open(path, encoding='utf-8') as f:
            return [json.loads(line) for line in f.read().splitlines()]

    def test_quiet_silent_run_shows_no_window_and_no_box_and_reports_its_failure(self):
        target, before, starter = self.prepare_failing_run()
        report = os.path.join(self.scratch, 'report.jsonl')
        self.start('/S', '/Q', '/D=' + windows_path(target), '/R=' + windows_path(report))
        self.assertEqual(self.exit_status(seconds=60), 1)
        # Nothing was ever on screen: no page, no box; a box nobody answers
        # would have kept the program from ending at all.
        self.assertEqual([r['event'] for r in self.trace.events()], ['console'])
        self.assertEqual([s['windows'] for s in self.trace.snapshots()], [[]])
        self.assertEqual(self.trace.events('console')[0]['text'], EN['IDS_INSTALL_ERROR'])
        with open(os.path.join(self.scratch, 'wine.log'), encoding='utf-8', errors='replace') as log:
            self.assertIn(EN['IDS_INSTALL_ERROR'], log.read())
        closing = self.report(report)[-1]
        self.assertEqual((closing['exit'], closing['message'], closing['directory']),
                         (1, EN['IDS_INSTALL_ERROR'], windows_path(target)))
        self.assertEqual(self.tree(target), before)
        self.assertEqual(self.read(self.starter), starter)
        self.assert_temp_clean()

    def test_plan_then_run_into_a_relative_destination_agree_and_an_unusable_one_stops(self):
        self.pack()
        installed = os.path.join(self.app, 'rel', 't')
        plan_out = os.path.join(self.scratch, 'plan.jsonl')
        # A plan prints to standard output and changes nothing.
        self.start('/S', '/Q', '/P', '/D=rel\\t', out=plan_out)
        self.assertEqual(self.exit_status(), 0)
        self.assertFalse(os.path.exists(os.path.join(self.app, 'rel')))
        self.assertFalse(os.path.exists(self.starter))
        plan = self.report(plan_out)
        self.assertEqual(plan[-1]['counts'], {'create': len(plan) - 1, 'replace': 0, 'skip': 0})

        report = os.path.join(self.scratch, 'run.jsonl')
        self.start('/S', '/Q', '/D=rel\\t', '/R=' + windows_path(report))
        self.assertEqual(self.exit_status(), 0)
        run = self.report(report)
        self.assertEqual([(r['path'], r['action']) for r in run[:-1]],
                         [(p['path'], p['action'] + 'd') for p in plan[:-1]])
        self.assertEqual(self.tree(installed)['a.txt'], b'alpha')
        with open(self.starter, 'rb') as f:  # made by the run: UTF-16 with a byte-order mark
            self.assertEqual(f.read().decode('utf-16'), 'ConfigurationTemplatesLocation=%s\r\n'
                             % windows_path(installed))

        self.start('/S', '/Q', '/D=' + windows_path(os.path.join(installed, 'a.txt', 'sub')))
        self.assertEqual(self.exit_status(), 3)
        self.assertIn(EN['IDS_ERROR_BADTARGET'], self.trace.events('console')[-1]['text'])
        self.assert_temp_clean()

    def test_a_missing_kit_shows_one_message_and_no_wizard(self):
        self.start()
        box = self.wait_box('error')
        self.assertIn(EN['IDS_ERROR_NOSOURCE'], [c['text'] for c in box['controls']])
        self.assertIsNone(Picture(self.trace.snapshots()[-1]).sheet())
        self.click_id(box, IDOK)
        self.assertEqual(self.exit_status(), 3)
        self.assertEqual(self.count_events('page'), 0)

    def test_help_and_version_show_one_box_each_and_touch_nothing(self):
        self.pack()
        for args in (['/?'], ['/Lde', '--version']):
            if os.path.exists(self.trace.path):
                os.remove(self.trace.path)  # one run's boxes only
            self.start(*args)
            box = self.wait_box('plain')
            text = '\n'.join(c['text'] for c in box['controls'])
            self.assertIn('setup %s (commit ' % os.environ['SETUP_VERSION'], text)
            if args == ['/?']:
                for named in ('/S', '/Lcode', 'start /wait', 'Exit status'):
                    self.assertIn(named, text)
            self.click_id(box, IDOK)
            self.assertEqual(self.exit_status(), 0)
            self.assertEqual(self.count_events('page'), 0)
            self.assertFalse(os.path.exists(self.starter))
            self.assert_temp_clean()

    def test_the_chooser_opens_in_the_fields_folder_and_select_fills_the_field(self):
        self.pack()
        start = os.path.join(self.scratch, 'start folder')
        os.makedirs(os.path.join(start, 'inner'))
        self.put(os.path.join(start, 'note.txt'), 'a file, not listed')
        self.propose(start)
        self.start()
        self.click_id(self.wait_page('welcome'), NEXT, parent=0)
        sheet = self.wait_page('destination')
        self.click_id(sheet, BROWSE)
        chooser = self.wait_picture('the chooser', lambda p: p.chooser())
        self.wait_picture('the chooser in the folder', lambda p: p.chooser() and control(
            p.chooser(), CHOOSER_FIELD)['text'].rstrip('\\') == windows_path(start))
        chooser = self.wait_picture('the chooser', lambda p: p.chooser())
        field = control(chooser, CHOOSER_FIELD)
        self.assertFalse(field['focus'])
        # Folders only.
        self.wait_picture('the folder listed', lambda p: p.chooser() and [
            c for c in p.chooser()['controls'] if c['class'] == 'SysListView32' and c['items'] == ['inner']])
        # The field follows the navigation: into the one folder listed.
        self.click(control(chooser, 1121, visible_only=False) or [c for c in chooser['controls']
                                                                   if c['class'] == 'SysListView32'][0])
        self.key(chooser, 'Home', 'Return')
        self.wait_picture('the chooser in the inner folder', lambda p: p.chooser() and control(
            p.chooser(), CHOOSER_FIELD)['text'].rstrip('\\') == windows_path(os.path.join(start, 'inner')))
        self.click_id(self.wait_picture('the chooser', lambda p: p.chooser()), CHOOSER_SELECT)
        sheet = self.wait_picture('the field filled', lambda p: not p.chooser() and p.sheet() and control(
            p.sheet(), PATH_FIELD)['text'].rstrip('\\') == windows_path(os.path.join(start, 'inner')) and p.sheet())
        self.assertEqual(self.count_events('page', 'progress'), 0)

    def test_the_chooser_opens_in_the_folder_of_a_field_longer_than_259_characters(self):
        self.pack()
        self.propose(os.path.join(self.scratch, 'proposed'))
        base = windows_path(self.scratch) + '\\'
        # The field's first 259 characters: this folder, a separator and the
        # start of a name that is not there yet.
        folder = os.path.join(self.scratch, 'd' * (250 - len(base)))
        os.makedirs(folder)
        typed = windows_path(folder) + '\\' + 'new' * 20
        self.assertGreater(len(typed), 259)
        self.start()
        self.click_id(self.wait_page('welcome'), NEXT, parent=0)
        sheet = self.wait_page('destination')
        self.enter_path(sheet, typed)
        self.click_id(sheet, BROWSE)
        self.wait_picture('the chooser in the folder', lambda p: p.chooser() and control(
            p.chooser(), CHOOSER_FIELD)['text'].rstrip('\\') == windows_path(folder))
        # Cancelled, the field keeps what was typed.
        self.key(self.wait_picture('the chooser', lambda p: p.chooser()), 'Escape')
        sheet = self.wait_page('destination')
        self.assertEqual(control(sheet, PATH_FIELD)['text'], typed)

    def test_a_folder_too_long_for_the_dialog_opens_it_in_the_folder_above(self):
        self.pack()
        base = windows_path(self.scratch) + '\\'
        folder = os.path.join(self.scratch, 'd' * (258 - len(base)))
        os.makedirs(folder)
        self.propose(folder)
        self.start()
        self.click_id(self.wait_page('welcome'), NEXT, parent=0)
        sheet = self.wait_page('destination')
        self.assertEqual(control(sheet, PATH_FIELD)['text'], windows_path(folder))
        self.click_id(sheet, BROWSE)
        self.wait_picture('the chooser in the folder above', lambda p: p.chooser() and control(
            p.chooser(), CHOOSER_FIELD)['text'].rstrip('\\') == windows_path(self.scratch))
        self.key(self.wait_picture('the chooser', lambda p: p.chooser()), 'Escape')
        self.wait_page('destination')

    def test_russian_titles_and_buttons(self):
        ru = catalogue('ru')
        self.pack()
        self.propose(os.path.join(self.scratch, 'proposed'))
        self.start('/Lru')
        sheet = self.wait_page('welcome')
        self.assertEqual(sheet['title'], ru['IDS_TITLE_INSTALLER'])
        self.assertEqual(control(sheet, WELCOME_TEXT)['text'], ru['IDS_WELCOME_TITLE'] + ' Демо (Магазин).')
        self.assertEqual([control(sheet, i, parent=0)['text'] for i in (BACK, NEXT, CANCEL)],
                         [ru['IDS_WIZARD_BACK'], ru['IDS_WIZARD_NEXT'], ru['IDS_WIZARD_CANCEL']])
        self.click_id(sheet, NEXT, parent=0)
        sheet = self.wait_page('destination')
        self.assertEqual(sheet['title'], ru['IDS_TITLE_INSTALLER'])
        self.key(sheet, 'Escape')
        box = self.wait_box('question')
        self.assertEqual(box['title'], ru['IDR_MAINFRAME'])
        self.assertIn(ru['IDS_ACCEPT_CANCEL'], [c['text'] for c in box['controls']])
        self.click_id(box, IDYES)
        sheet = self.wait_page('cancel')
        self.assertEqual(sheet['title'], ru['IDS_TITLE_INSTALLER'])
        self.assertEqual(control(sheet, FINISH, parent=0)['text'], ru['IDS_WIZARD_FINISH'])
        self.click_id(sheet, FINISH, parent=0)
        self.assertEqual(self.exit_status(), 2)


if __name__ == '__main__':
    unittest.main()
