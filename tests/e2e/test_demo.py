"""consoledemo.exe under Wine, with the stand-in companion library and its test variants."""
import itertools
import os
import shlex
import shutil
import subprocess
import tempfile
import time
import unittest
import unittest.mock

from .winerun import (PROMPT_BOUND_S, STD_ERROR, STD_OUTPUT, TRACED, UNSEEN_BOUND_MS, VARIANTS,
                      WINE, Trace, WineTestCase, assert_tiny_program, pe_exports, program, run,
                      run_as_agent, run_unseen, stand_ins, start_wine, text_args, values,
                      wine_env, windows_path, wineenv)

# The demo's own calls whose order the run fixes.
BINDING = ("KERNEL32.SetDllDirectoryA", "KERNEL32.LoadLibraryA", "KERNEL32.GetCommandLineA",
           "KERNEL32.GetProcAddress", "KERNEL32.FreeLibrary", "KERNEL32.ExitProcess")

GREETING = (b"Hello world!\r\nThis is a simple console application - "
            b"drag a file over the exe to see more\r\n")
CAPTION = b"This is also a Windows GUI application:"


class DemoTestCase(WineTestCase):
    def install(self, variant="record"):
        """The demo, the launcher and a library variant (None: no library; "shipped": the
        stand-in as released) in the folder."""
        for name in ("consoledemo.exe", "launch.exe", "station.exe"):
            shutil.copy(program(name), self.dir)
        if variant == "shipped":
            shutil.copy(program("Vantrel.dll"), self.dir)
        elif variant:
            shutil.copy(os.path.join(VARIANTS, variant, "Vantrel.dll"), self.dir)

    def launch(self, command_line, debug="-all", cwd=None, path=None):
        """Starts the demo with exactly this command line (bytes), in the folder cwd (default:
        its own), with the folder path first on PATH if given."""
        return run([os.path.join(self.dir, "launch.exe"),
                    command_line.hex()], cwd or self.dir, debug, path=path)

    def demo(self):
        return self.path("consoledemo.exe")

    def as_agent(self, visible, arguments=b""):
        """A traced run started as build agents start programs (see run_as_agent), with no
        calls recorded before it."""
        if os.path.exists(self.path("vantrel-calls.log")):
            os.remove(self.path("vantrel-calls.log"))
        return run_as_agent(self.demo(), self.dir, visible, TRACED, arguments)

    def launch_traced(self, command_line):
        """The relay trace of a run, read for the demo's own process."""
        return self.launch(command_line, TRACED).trace(self.demo())

    def binding_order(self, trace):
        """The demo's binding calls in order, and whether FreeLibrary got the loaded module."""
        sequence = [(f, args) for f, args in trace.own_sequence() if f in BINDING]
        loads = [r & 0xFFFFFFFF for _, r in trace.own_calls("KERNEL32.LoadLibraryA")]
        frees = [values(args)[0] for f, args in sequence if f == "KERNEL32.FreeLibrary"]
        return [f.split(".")[1] for f, _ in sequence], frees == loads

    def calls(self, cwd=None):
        """The library calls recorded in the current directory cwd (default: the demo's
        folder): (name, [32-bit values], [texts])."""
        log = os.path.join(cwd or self.dir, "vantrel-calls.log")
        if not os.path.exists(log):
            return []
        result = []
        with open(log, "rb") as f:
            lines = f.read().decode().splitlines()
        for line in lines:
            name, *fields = line.split(" ")
            if name == "TellMe":
                result.append((name, [int(fields[0], 16), int(fields[1], 16)],
                               [bytes.fromhex(f) for f in fields[2:]]))
            else:
                result.append((name, [], [bytes.fromhex(f) for f in fields]))
        return result


class DroppedFile(DemoTestCase):
    def assert_told(self, command_line, argument, cwd=None, path=None):
        """The recording library greeted and was told argument; without cwd, the demo and
        that library are installed first, and the demo runs in its own folder."""
        if cwd is None:
            self.install()
        result = self.launch(command_line, cwd=cwd, path=path)
        self.assertEqual(result.status, 0)
        self.assertEqual(self.calls(cwd), [("StdOut", [], [GREETING]),
                                           ("TellMe", [0, 0], [argument, CAPTION])])
        # The stand-in prints what TellMe was given when no box can be shown.
        self.assertEqual(result.out, GREETING + CAPTION + b" " + argument + b"\r\n")

    def test_quoted_path_with_blanks_reaches_tellme_without_quotes(self):
        self.assert_told(b'consoledemo.exe "C:\\my files\\a b.txt"', b"C:\\my files\\a b.txt")

    def test_quotes_inside_an_argument_and_tabs(self):
        self.assert_told(b'consoledemo.exe \t a"b\tc"d e', b"ab cd")

    def test_byte_fe_is_kept(self):
        self.assert_told(b'consoledemo.exe "C:\\caf\xe9 \xfe.txt"', b"C:\\caf\xe9 \xfe.txt")

    def test_binds_then_reads_its_argument_then_resolves_and_releases_the_library(self):
        self.install()
        trace = self.launch_traced(b'consoledemo.exe "C:\\a b.txt"')
        order, freed_loaded = self.binding_order(trace)
        self.assertEqual(order, ["SetDllDirectoryA", "LoadLibraryA", "GetCommandLineA",
                                 "GetProcAddress", "GetProcAddress", "GetProcAddress",
                                 "FreeLibrary", "ExitProcess"])
        self.assertTrue(freed_loaded)
        # The current directory is out of the library search before the load.
        [(args, result)] = trace.own_calls("KERNEL32.SetDllDirectoryA")
        self.assertEqual(text_args(args), [""])
        self.assertNotEqual(result, 0)

    def test_library_on_path_alone_is_still_found(self):
        # Neither beside the program nor in the current directory, but in a folder on PATH.
        self.install(None)
        tools, work = self.path("tools"), self.path("work")
        os.mkdir(tools)
        os.mkdir(work)
        shutil.copy(os.path.join(VARIANTS, "record", "Vantrel.dll"), tools)
        self.assert_told(b"consoledemo.exe a.txt", b"a.txt", cwd=work, path=tools)

    def test_library_beside_the_program_wins_over_one_in_the_current_directory(self):
        # The one in the current directory lacks StdOut: loading it would end in a box.
        self.install()
        work = self.path("work")
        os.mkdir(work)
        shutil.copy(os.path.join(VARIANTS, "no-StdOut", "Vantrel.dll"), work)
        self.assert_told(b"consoledemo.exe a.txt", b"a.txt", cwd=work)

    def test_shipped_library_tells_the_console_where_nobody_sees_a_box(self):
        # On a build agent's hidden window station a box would wait for a click forever.
        self.install("shipped")
        self.write("a b.txt", b"dropped\r\n")
        path = windows_path(self.path("a b.txt")).encode()
        result, seconds = run_unseen(self.demo(), self.dir, TRACED, b' "' + path + b'"')
        self.assertEqual(result.status, 0, result.err[-2000:])
        self.assertLess(seconds, UNSEEN_BOUND_MS / 1000)
        self.assertEqual(result.out, GREETING + CAPTION + b" " + path + b"\r\n")
        trace = result.trace(self.demo())
        self.assertEqual(trace.calls("user32.MessageBoxA"), [])
        # The greeting, then the whole told line: one write each.
        self.assertEqual(len(trace.own_writes(STD_OUTPUT, self.path("Vantrel.dll"))), 2)

    def test_build_agents_start_it_and_tellme_gets_the_argument(self):
        self.install()
        for visible in (False, True):
            with self.subTest(visible=visible):
                result, _ = self.as_agent(visible, b' "C:\\a b.txt"')
                self.assertEqual(result.status, 0, result.err[-2000:])
                self.assertEqual(self.calls(), [("StdOut", [], [GREETING]),
                                                ("TellMe", [0, 0], [b"C:\\a b.txt", CAPTION])])
                self.assertEqual(result.out, GREETING + CAPTION + b" C:\\a b.txt\r\n")

    def test_long_path_reaches_tellme_whole(self):
        path = b"\\\\?\\C:\\" + b"\\".join([b"folder%02d" % i for i in range(80)]) + b"\\a.txt"
        self.assertGreater(len(path), 600)
        self.assert_told(b"consoledemo.exe " + path, path)


class NoArgument(DemoTestCase):
    """Without a usable argument the demo waits for a key only where someone can press one:
    these runs have nobody. KeyWait checks the wait itself, in a real console."""

    def test_no_usable_argument_greets_and_tells_nothing(self):
        for line in (b"consoledemo.exe", b'consoledemo.exe "a', b'consoledemo.exe ""',
                     b"consoledemo.exe "):
            with self.subTest(line=line):
                self.install()
                if os.path.exists(self.path("vantrel-calls.log")):
                    os.remove(self.path("vantrel-calls.log"))
                result = self.launch(line)
                self.assertEqual(result.status, 0)
                self.assertEqual(result.out, GREETING)
                self.assertEqual(self.calls(), [("StdOut", [], [GREETING])])

    def test_no_key_wait_where_nobody_can_press_one(self):
        # Build agents give the program a console without a window (CREATE_NO_WINDOW), in
        # which a key wait would never end, on a hidden window station (a service) or on the
        # visible one (a logged-on session); and a program can have no console at all.
        self.install()
        runs = {"agent, hidden station": lambda: self.as_agent(False)[0],
                "agent, visible station": lambda: self.as_agent(True)[0],
                "no console": lambda: self.launch(b"consoledemo.exe", TRACED)}
        for case, start in runs.items():
            with self.subTest(case=case):
                began = time.monotonic()
                result = start()
                self.assertEqual(result.status, 0, result.err[-2000:])
                self.assertLess(time.monotonic() - began, PROMPT_BOUND_S)
                self.assertEqual(result.out, GREETING)
                trace = result.trace(self.demo())
                [(_, window)] = trace.own_calls("KERNEL32.GetConsoleWindow")
                self.assertEqual(window, 0)
                self.assertEqual(trace.own_calls("msvcrt._getch"), [])
                order, freed_loaded = self.binding_order(trace)
                self.assertEqual(order[-2:], ["FreeLibrary", "ExitProcess"])
                self.assertTrue(freed_loaded)


class BindingFailures(DemoTestCase):
    def assert_failure(self, variant, text, caption, lookups):
        self.install(variant)
        result = run(self.demo(), self.dir)
        self.assertEqual(result.out, b"")
        self.assertNotEqual(result.status, 0)
        self.assertEqual(result.err, (caption + " " + text + "\r\n").encode())
        self.assertEqual(self.calls(), [])
        trace = run(self.demo(), self.dir, TRACED).trace(self.demo())
        self.assertEqual([text_args(c) for c, _ in trace.own_calls("KERNEL32.LoadLibraryA")],
                         [["Vantrel.dll"]])
        looked_up = [text_args(c)[0] for c, _ in trace.own_calls("KERNEL32.GetProcAddress")
                     if text_args(c)]
        self.assertEqual([name for name in looked_up if name in ("StdOut", "ClearScreen", "TellMe")],
                         lookups)
        boxes = trace.calls("user32.MessageBoxA")
        self.assertEqual(len(boxes), 1)
        owner, _, _, style = values(boxes[0])
        self.assertEqual((owner, style), (0, 0), boxes[0])
        self.assertEqual(text_args(boxes[0]), [text.replace("\r\n", "\\r\\n"), caption])
        # No display here, so the box was not shown: the report line went out in one write.
        self.assertEqual(len(trace.own_writes(STD_ERROR)), 1)

    def test_missing_library(self):
        self.assert_failure(None, "DLL not found:\r\nVantrel.dll", "DEMO", [])

    def test_missing_exports_are_reported_in_lookup_order(self):
        cases = [("no-StdOut", "StdOut not found", "DEMO", ["StdOut"]),
                 ("no-ClearScreen", "ClearScreen not found", "DEMO", ["StdOut", "ClearScreen"]),
                 ("no-TellMe", "TellMe not found", "DLL entry not found:",
                  ["StdOut", "ClearScreen", "TellMe"])]
        for variant, text, caption, lookups in cases:
            with self.subTest(variant=variant):
                self.assert_failure(variant, text, caption, lookups)
                os.remove(self.path("Vantrel.dll"))

    def test_box_is_tried_where_the_station_flags_cannot_be_read(self):
        # Such a station counts as visible. The stand-in user32 fails the query, and its box
        # records the call and answers OK, which becomes the exit status.
        self.install(None)
        stand_ins(self, "consoledemo.exe", "stand-in/user32.dll")
        result = run(self.demo(), self.dir)
        self.assertEqual((result.status, result.out, result.err), (1, b"", b""))
        self.assertEqual(self.read("messageboxes.log"), b"DLL not found:\r\nVantrel.dll\0DEMO\0")

    def test_no_box_where_nobody_can_see_it(self):
        cases = [(None, "DLL not found:\r\nVantrel.dll", "DEMO"),
                 ("no-TellMe", "TellMe not found", "DLL entry not found:")]
        for variant, text, caption in cases:
            with self.subTest(variant=variant):
                if os.path.exists(self.path("Vantrel.dll")):
                    os.remove(self.path("Vantrel.dll"))
                self.install(variant)
                result, seconds = run_unseen(self.demo(), self.dir)
                self.assertEqual(result.status, 1, result.err)  # no box was shown
                self.assertLess(seconds, UNSEEN_BOUND_MS / 1000)
                self.assertEqual(result.out, b"")
                self.assertEqual(result.err, (caption + " " + text + "\r\n").encode())
                trace = run_unseen(self.demo(), self.dir, TRACED)[0].trace(self.demo())
                self.assertEqual(trace.calls("user32.MessageBoxA"), [])
                self.assertEqual(len(trace.own_writes(STD_ERROR)), 1)


class ScriptedKeys(WineTestCase):
    """The key wait itself on scripted codes, for the keys Wine's console cannot deliver."""

    def test_lead_codes_take_the_second_code_and_other_keys_stand_alone(self):
        # Each script ends with a spare code that the wait must leave unread.
        cases = [("F1", [0, 59], (2, 59, 1)), ("Up", [224, 72], (2, 72, 1)),
                 ("a", [97], (1, 97, 0))]
        for key, codes, expected in cases:
            with self.subTest(key=key):
                result = run([program("waitkey_probe.exe")] + [str(c) for c in codes + [120]],
                             self.dir)
                self.assertEqual(result.status, 0, result.err)
                self.assertEqual(tuple(int(f) for f in result.out.split()), expected)


SESSIONS = itertools.count()


class KeyWait(DemoTestCase):
    """A real console: Wine inside tmux, keys sent with tmux send-keys. The demo starts through
    a program that shares the console with it: launch.exe with an exact command line, cmd, or
    the station helper."""

    def start_in_tmux(self, *argv):
        """Starts the command line argv in the folder, in tmux's console, through cmd, which
        traces what it starts. The console's own Wine processes (its host, and the desktop
        process that the host's window starts) stay untraced: traced, they start slowly enough
        on a slow machine (Wine through an emulator) that Wine gives up waiting for the desktop
        and the console gets no window."""
        start_wine()
        self.install("record")
        self.session = "demo-%d-%d" % (os.getpid(), next(SESSIONS))
        env = wine_env()
        exports = " ".join("%s='%s'" % (k, env[k]) for k in wineenv.VARIABLES if k in env)
        traced = [WINE, "cmd", "/c", "set", "WINEDEBUG=%s&&" % TRACED] + list(argv)
        command = ("cd '%s' && env -u DISPLAY %s %s 2>relay.txt; echo $? > status; sleep 60"
                   % (self.dir, exports, shlex.join(traced)))
        # A tmux server of the test's own, without the person's configuration, and the command
        # run by sh itself, whatever the person's shell.
        # One server a test: another one's may still be ending.
        self.tmux = ["tmux", "-L", "consoletools-" + self.session, "-f", os.devnull]
        subprocess.run(self.tmux + ["new-session", "-d", "-s", self.session, "-x", "100", "-y",
                                    "30", "/bin/sh", "-c", command], check=True)
        self.addCleanup(subprocess.run, self.tmux + ["kill-server"], stderr=subprocess.DEVNULL)
        self.wait_for(lambda: b"drag a file" in self.screen(), "the greeting")

    def screen(self):
        return subprocess.run(self.tmux + ["capture-pane", "-p", "-t", self.session],
                              capture_output=True).stdout

    def wait_for(self, condition, what, seconds=60):
        deadline = time.time() + seconds
        while time.time() < deadline:
            if condition():
                return
            time.sleep(0.1)
        self.fail("no %s; screen:\n%s" % (what, self.screen().decode(errors="replace")))

    def ended(self, what):
        """The exit status and the trace of the demo, which must end within 60 s."""
        self.wait_for(lambda: os.path.exists(self.path("status")), what)
        time.sleep(0.2)
        return self.read("status").strip(), Trace(self.read("relay.txt"), self.demo())

    def waiting(self):
        """Whether the demo has called _getch. A key pressed before its flush, which on a slow
        machine can come seconds after the greeting, would be thrown away."""
        try:
            trace = Trace(self.read("relay.txt"), self.demo())
            return any(f == "msvcrt._getch" for f, _ in trace.own_sequence())
        except AssertionError:  # the demo has not started yet
            return False

    def assert_waits_then_ends_on(self, key, codes, *argv):
        self.start_in_tmux(*argv)
        self.wait_for(self.waiting, "key wait")
        time.sleep(1.5)
        self.assertFalse(os.path.exists(self.path("status")), "ended before a key was pressed")
        subprocess.run(self.tmux + ["send-keys", "-t", self.session, key], check=True)
        status, trace = self.ended("end after the key")
        self.assertEqual(status, b"0")
        # The flush comes first; an extended key is read whole, both codes.
        waits = [f for f, _ in trace.own_sequence()
                 if f in ("KERNEL32.FlushConsoleInputBuffer", "msvcrt._getch")]
        self.assertEqual(waits, ["KERNEL32.FlushConsoleInputBuffer"] + ["msvcrt._getch"] * codes)
        self.assertTrue(self.binding_order(trace)[1])
        return trace

    def test_arrow_key_ends_the_wait(self):
        # 0xE0, then the key's code
        self.assert_waits_then_ends_on("Up", 2, "launch.exe", b"consoledemo.exe".hex())

    def test_a_persons_tmux_server_and_shell_play_no_part(self):
        # A person's tmux server runs, and their configuration gives every command a shell that
        # runs nothing of it, as fish runs none of sh's syntax. Their session stays as it was.
        person = tempfile.mkdtemp(prefix="person.")
        self.addCleanup(shutil.rmtree, person, ignore_errors=True)
        with open(os.path.join(person, ".tmux.conf"), "w") as f:
            f.write("set -g default-shell /bin/false\n")
        env = dict(HOME=person, TMUX_TMPDIR=person, SHELL="/bin/false")
        with unittest.mock.patch.dict(os.environ, env):
            subprocess.run(["tmux", "new-session", "-d", "-s", "mine", "sleep", "600"],
                           check=True)
            self.addCleanup(subprocess.run, ["tmux", "kill-server"], env=dict(os.environ, **env))
            self.assert_waits_then_ends_on("x", 1, "launch.exe", b"consoledemo.exe".hex())
            listed = subprocess.run(["tmux", "list-sessions", "-F", "#{session_name}"],
                                    capture_output=True, text=True)
        self.assertEqual(listed.stdout, "mine\n")

    def test_letter_key_ends_the_wait_after_unbalanced_quotes(self):
        self.assert_waits_then_ends_on("x", 1, "launch.exe", b'consoledemo.exe "a'.hex())

    def test_the_key_comes_from_the_console_when_standard_input_is_a_file(self):
        # As typed in cmd: consoledemo.exe "" <keys.txt. Reading the file would end the wait
        # at once.
        self.write("keys.txt", b"yz\r\n")
        trace = self.assert_waits_then_ends_on("x", 1, "consoledemo.exe", "", "<keys.txt")
        [(_, flushed)] = trace.own_calls("KERNEL32.FlushConsoleInputBuffer")
        self.assertEqual(flushed, 0)  # standard input was the file, not the console

    def assert_ends_without_a_key(self, *argv):
        """The demo, started by wine with these arguments, ends by itself although its console
        has a window handle; returns its trace."""
        self.start_in_tmux(*argv)
        status, trace = self.ended("end without a key")
        self.assertEqual(status, b"0")
        [(_, window)] = trace.own_calls("KERNEL32.GetConsoleWindow")
        self.assertNotEqual(window, 0)
        self.assertEqual(trace.own_calls("msvcrt._getch"), [])
        self.assertTrue(self.binding_order(trace)[1])
        return trace

    def test_no_wait_on_a_hidden_station_although_the_console_has_a_window(self):
        # A service's console on its own window station: a window that nobody sees.
        trace = self.assert_ends_without_a_key("station.exe", str(UNSEEN_BOUND_MS),
                                               b"consoledemo.exe".hex())
        [(_, is_window)] = trace.own_calls("user32.IsWindow")
        self.assertNotEqual(is_window, 0)

    def test_no_wait_where_the_console_window_handle_is_no_window(self):
        # As Windows 10 1809 answers in a console without a window: the stand-in user32's
        # IsWindow says no. Its station flags cannot be read, which counts as visible.
        stand_ins(self, "consoledemo.exe", "stand-in/user32.dll")
        self.assert_ends_without_a_key("launch.exe", b"consoledemo.exe".hex())


class Deliverables(unittest.TestCase):
    def test_demo_size_imports_and_icon(self):
        assert_tiny_program(self, "consoledemo.exe")

    def test_stand_in_library_exports_exactly_the_three_names(self):
        self.assertEqual(pe_exports(program("Vantrel.dll")),
                         ["ClearScreen", "StdOut", "TellMe"])

if __name__ == "__main__":
    unittest.main()
