"""Start and stop of the real library: the init outcomes in their order, the
registrations, the start lines in both logs, and shutdown."""

import unittest

from harness import (GAME_START_LINE, LINE_END, LOG_LINE, REGISTRATION_WARNING,
                     SETTINGS_WARNING, START_LINE, VALID_INI, PluginTestCase)

REGISTRATIONS = [
    "register-event 1 -> 0",
    "register-event 5 -> 0",
    "register-channel truck.speed 4294967295 5 0 -> 0",
    "register-channel truck.odometer 4294967295 5 0 -> 0",
]

# Shutdown joins the detector (100 ms steps) and the sender (1 s steps).
SHUTDOWN_LIMIT_MS = 1600


class RefusedInit(PluginTestCase):
    def assertRefusedSilently(self, run, folder, result):
        self.assertCleanRun(run)
        self.assertEqual(run.init_results, [result], run.output)
        self.assertEqual(run.gamelog, [])
        self.assertEqual(run.registrations, [])
        self.assertEqual(folder.log_bytes(), b"", "a refused init writes no own log")

    def test_unsupported_version_or_game_is_refused_without_a_trace(self):
        cases = [
            ("version 0x00010002", -1),
            ("version 0x0000FFFF", -1),
            ("version 0", -1),
            ("game eut2", -1),
            ("game ATS", -1),
            ("game ats2", -1),
            ("game @null", -1),
            ("params @null", -1),
        ]
        for setup, result in cases:
            with self.subTest(setup=setup):
                folder = self.folder()
                run = folder.run(f"{setup}\ninit\nshutdown\n")
                self.assertRefusedSilently(run, folder, result)

    def test_missing_or_placeholder_credentials_warn_once(self):
        cases = [
            ("no ini", None),
            ("player placeholder", "PlayerName=CHANGE_ME\nApiKey=real-key\n"),
            ("both placeholders", "PlayerName=CHANGE_ME\nApiKey=PASTE_API_KEY_HERE\n"),
            ("key placeholder", "PlayerName=Night Owl\nApiKey=PASTE_API_KEY_HERE\n"),
            ("empty key", "PlayerName=Night Owl\nApiKey=\n"),
            ("empty player", "PlayerName=\nApiKey=real-key\n"),
            ("keys in lower case are not keys", "playername=Night Owl\napikey=real-key\n"),
        ]
        for name, ini in cases:
            with self.subTest(name):
                folder = self.folder(ini=ini)
                run = folder.run("init\nshutdown\n")
                self.assertCleanRun(run)
                self.assertEqual(run.init_results, [-7])
                self.assertEqual(run.gamelog, [(2, SETTINGS_WARNING)])
                self.assertEqual(run.registrations, [])
                self.assertEqual(folder.log_bytes(), b"")

    def test_failed_event_registration_warns_and_starts_nothing(self):
        for event, expected in [(1, ["register-event 1 -> -7"]),
                                (5, ["register-event 1 -> 0", "register-event 5 -> -7"])]:
            with self.subTest(event=event):
                folder = self.folder()
                run = folder.run(f"fail-event {event}\ninit\nshutdown\n")
                self.assertCleanRun(run)
                self.assertEqual(run.init_results, [-7])
                self.assertEqual(run.gamelog, [(2, REGISTRATION_WARNING)])
                self.assertEqual(run.registrations, expected)
                self.assertEqual(folder.log_bytes(), b"", "no start line: nothing was started")
                self.assertLess(run.shutdown_ms[0], 100, "no thread to join")


class CleanStart(PluginTestCase):
    def test_start_and_shutdown(self):
        folder = self.folder()
        run = folder.run("init\nshutdown\n")
        self.assertCleanRun(run)
        self.assertEqual(run.init_results, [0])
        self.assertEqual(run.registrations, REGISTRATIONS)
        self.assertEqual(run.gamelog, [(0, GAME_START_LINE)])
        log = folder.log_bytes()
        self.assertTrue(log.endswith(START_LINE.encode() + LINE_END), log)
        self.assertEqual(log.count(LINE_END), 1, log)
        self.assertRegex(log, LOG_LINE)
        self.assertLess(run.shutdown_ms[0], SHUTDOWN_LIMIT_MS)
        self.assertKeyNotLogged(folder)

    def test_both_accepted_versions_start(self):
        for version in ("0x00010000", "0x00010001"):
            with self.subTest(version=version):
                run = self.folder().run(f"version {version}\ninit\nshutdown\n")
                self.assertCleanRun(run)
                self.assertEqual(run.init_results, [0])

    def test_failed_channel_registration_does_not_stop_init(self):
        folder = self.folder()
        run = folder.run("fail-channel truck.odometer\nfail-channel truck.speed\ninit\nshutdown\n")
        self.assertCleanRun(run)
        self.assertEqual(run.init_results, [0])
        self.assertEqual(folder.log_messages(), [START_LINE])

    def test_settings_of_any_case_but_the_placeholders_pass(self):
        folder = self.folder(ini="PlayerName=change_me\nApiKey=paste_api_key_here\n")
        run = folder.run("init\nshutdown\n")
        self.assertCleanRun(run)
        self.assertEqual(run.init_results, [0])

    def test_without_a_game_log_function(self):
        run = self.folder().run("nolog\ninit\nshutdown\n")
        self.assertCleanRun(run)
        self.assertEqual(run.init_results, [0])


class Lifecycle(PluginTestCase):
    def test_shutdown_without_init_and_twice(self):
        folder = self.folder()
        run = folder.run("shutdown\ninit\nshutdown\nshutdown\nunload\n")
        self.assertCleanRun(run)
        first, second, third = run.shutdown_ms
        self.assertLess(first, 100)
        self.assertLess(second, SHUTDOWN_LIMIT_MS)
        self.assertLess(third, 100, "a second shutdown has nothing to join")

    def test_init_shutdown_init_starts_afresh(self):
        folder = self.folder()
        run = folder.run("init\nshutdown\ninit\nshutdown\nunload\n")
        self.assertCleanRun(run)
        self.assertEqual(run.init_results, [0, 0])
        self.assertEqual(folder.log_messages(), [START_LINE, START_LINE])
        self.assertEqual(run.gamelog, [(0, GAME_START_LINE)] * 2)

    def test_edited_settings_take_effect_at_the_next_init(self):
        folder = self.folder(ini="PlayerName=CHANGE_ME\nApiKey=real-key\n")
        session = folder.start()
        self.assertEqual(session.init(), -7)
        folder.write_ini(VALID_INI)
        self.assertEqual(session.init(), 0)
        session.shutdown()
        self.assertCleanRun(session.close())

    def test_second_init_while_running_changes_nothing(self):
        folder = self.folder()
        session = folder.start()
        self.assertEqual(session.init(), 0)
        # Even with the credentials removed, the running plug-in keeps its settings.
        folder.write_ini("PlayerName=CHANGE_ME\n")
        self.assertEqual(session.init(), -7)
        self.assertLess(session.shutdown(), SHUTDOWN_LIMIT_MS)
        run = session.close()
        self.assertCleanRun(run)
        self.assertEqual(run.gamelog, [(0, GAME_START_LINE)])
        self.assertEqual(len(run.registrations), 4, "no second registration")
        self.assertEqual(folder.log_messages(), [START_LINE])

    def test_library_in_a_folder_it_cannot_write_keeps_running(self):
        folder = self.folder()
        # Root ignores permission bits, so make the log path a directory instead.
        folder.log_path.mkdir()
        run = folder.run("init\nshutdown\nunload\n")
        self.assertCleanRun(run)
        self.assertEqual(run.init_results, [0])


if __name__ == "__main__":
    unittest.main()
