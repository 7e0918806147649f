"""Tests of the virtual switch itself: board directories, and the runner
booting stand-in launchers (BusyBox scripts), so that they hold whatever
state the real launcher is in. One test boots the real launcher on the demo
images when the build has it."""

import hashlib
import os
import re
import struct
import subprocess
import zlib

import pytest

from conftest import (IMGTOOL, REPO, VSWITCH, WAIT, finish, log_since_power_on,
                      user_file, vswitch)

# ------------------------------------------------------------ board files


class TestBoardFiles:
    def test_new_board_is_erased_flash_and_blank_vpd(self, make_board):
        board = make_board()
        erasesize, sizes = board.geometry()
        assert erasesize == 131072
        for name, size in vswitch.PARTITIONS:
            data = board.read_partition(name)
            assert len(data) == size == sizes[name]
            assert data == b"\xff" * size, name
        eeprom = open(os.path.join(board.dev, "i2c-0-54.bin"), "rb").read()
        assert eeprom == b"\xff" * 8192
        assert open(os.path.join(board.dev, "i2c-1-20.bin"), "rb").read() == bytes(256)
        assert os.listdir(board.user) == []
        assert not os.path.exists(board.usb)

    def test_board_conf_lists_geometry_for_the_device_model(self, tmp_path):
        board = vswitch.create_board(str(tmp_path / "b"), erasesize=65536,
                                     sizes={"kernel": 65536 * 3})
        conf = open(os.path.join(board.dev, "board.conf")).read().split()
        assert "erasesize=65536" in conf
        assert "mtd-kernel=196608" in conf
        assert "mtd-user-char=2097152" in conf
        assert len(board.read_partition("kernel")) == 196608

    def test_partition_size_must_be_whole_sectors(self, tmp_path):
        with pytest.raises(vswitch.VswitchError, match="multiple"):
            vswitch.create_board(str(tmp_path / "b"), sizes={"rfs": 1000})

    def test_create_refuses_a_directory_that_is_not_a_board(self, tmp_path):
        (tmp_path / "precious").write_text("keep me")
        with pytest.raises(vswitch.VswitchError):
            vswitch.create_board(str(tmp_path), force=True)
        assert (tmp_path / "precious").read_text() == "keep me"

    def test_command_line_puts_images_vpd_and_stick_in_place(self, tmp_path):
        (tmp_path / "one").write_bytes(b"slot one")
        (tmp_path / "two").write_bytes(b"slot two")
        (tmp_path / "resc").write_bytes(b"RESCUE" * 10)
        (tmp_path / "stick").mkdir()
        (tmp_path / "stick" / "QLX5270_OS.img").write_bytes(b"stick image")
        result = subprocess.run(
            [VSWITCH, "create", str(tmp_path / "b"), "--image1", str(tmp_path / "one"),
             "--image2", str(tmp_path / "two"), "--rescue", str(tmp_path / "resc"),
             "--boot-slot", "2", "--usb-boot", "0xd5", "--vpd", "0x13a=4",
             "--usb", str(tmp_path / "stick")], capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        board = vswitch.Board(str(tmp_path / "b"))
        assert user_file(board, "images/image1") == b"slot one"
        assert user_file(board, "images/image2") == b"slot two"
        rescue = board.read_partition("rescue")
        assert rescue[:60] == b"RESCUE" * 10 and rescue[60:] == b"\xff" * (len(rescue) - 60)
        assert board.vpd(0x100) == 2
        assert board.vpd(0x13B) == 0xD5
        assert board.vpd(0x13A) == 4
        assert board.vpd(0xFF) == 0xFF and board.vpd(0x101) == 0xFF
        assert os.listdir(board.usb) == ["QLX5270_OS.img"]

    def test_set_changes_an_existing_board_and_unplugs_the_stick(self, make_board, tmp_path):
        board = make_board(usb={"a.img": b"x"}, boot_slot=1)
        result = subprocess.run([VSWITCH, "set", board.path, "--boot-slot", "2", "--no-usb"],
                                capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        assert board.vpd(0x100) == 2
        assert not os.path.exists(board.usb)

    def test_rescue_image_too_large_is_refused(self, make_board, tmp_path):
        board = make_board()
        big = tmp_path / "big"
        big.write_bytes(b"\0" * (10485760 + 1))
        result = subprocess.run([VSWITCH, "set", board.path, "--rescue", str(big)],
                                capture_output=True, text=True)
        assert result.returncode == 2
        assert "do not fit" in result.stderr
        assert board.read_partition("rescue", 0, 16) == b"\xff" * 16


class TestEnvironmentPartition:
    def test_checksum_word_then_entries_then_erased_padding(self, make_board):
        board = make_board(env=["diagnostics=rescue", "gdbport=4321", "bootargs=a b"])
        data = board.read_partition("ubootenv")
        assert len(data) == 131072
        body = b"diagnostics=rescue\0gdbport=4321\0bootargs=a b\0"
        # The big-endian CRC-32 of everything after the word, as U-Boot on
        # the PowerPC board computes it.
        assert data[:4] == struct.pack(">I", zlib.crc32(data[4:]))
        assert data[4:4 + len(body)] == body
        # An empty entry ends the list; the rest stays as erased flash.
        assert data[4 + len(body):5 + len(body)] == b"\0"
        assert data[5 + len(body):] == b"\xff" * (131072 - 5 - len(body))

    def test_parse_reads_back_entries_and_notices_damage(self, make_board):
        board = make_board(env=["shell=on", "memchk=off"])
        data = bytearray(board.read_partition("ubootenv"))
        assert vswitch.parse_env_image(bytes(data)) == (True, ["shell=on", "memchk=off"])
        data[5] ^= 0x01
        assert vswitch.parse_env_image(bytes(data))[0] is False

    def test_entry_without_equals_is_refused(self):
        with pytest.raises(vswitch.VswitchError, match="NAME=VALUE"):
            vswitch.make_env_image(["shell"], 131072)

    def test_env_file_and_env_options_combine(self, make_board, tmp_path):
        board = make_board()
        env_file = tmp_path / "env.txt"
        env_file.write_text("gdb=on\n\ngdbserver=on\n")
        result = subprocess.run([VSWITCH, "set", board.path, "--env-file", str(env_file),
                                 "--env", "memchk=on"], capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        good, entries = vswitch.parse_env_image(board.read_partition("ubootenv"))
        assert good and entries == ["memchk=on", "gdb=on", "gdbserver=on"]


class TestElfDependencies:
    def test_dynamic_program_names_loader_and_c_library(self):
        interp, needed = vswitch.elf_dependencies("/usr/bin/rx")
        assert interp and os.path.basename(interp).startswith("ld-linux")
        assert "libc.so.6" in needed

    def test_static_busybox_and_scripts_need_nothing(self, tmp_path):
        script = tmp_path / "s"
        script.write_text("#!/bin/sh\n")
        assert vswitch.elf_dependencies(str(script)) == (None, [])
        assert vswitch.elf_dependencies("/bin/busybox")[0] is None

    def test_closure_follows_libraries_of_libraries(self):
        files = vswitch.library_closure(["/usr/bin/rx"])
        names = {os.path.basename(p) for p in files}
        assert "libc.so.6" in names
        assert any(n.startswith("ld-linux") for n in names)
        assert all(os.path.isfile(host) for host in files.values())


# ------------------------------------------------------------ the runner


class TestRefusals:
    def test_boot_refuses_without_root(self, make_board, stand_in):
        if os.geteuid() != 0:
            pytest.skip("needs root to drop privileges")
        board = make_board()
        script = stand_in("echo should not run\n")
        result = subprocess.run(
            ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", VSWITCH,
             "boot", board.path, "--launcher", script, "--preload", "none"],
            capture_output=True, text=True, timeout=WAIT, stdin=subprocess.DEVNULL)
        assert result.returncode == 2
        assert "needs root" in result.stderr
        assert "should not run" not in result.stdout
        assert "vswitch: power on" not in board.log_lines()

    def test_boot_refuses_a_directory_that_is_not_a_board(self, tmp_path, stand_in):
        result = subprocess.run([VSWITCH, "boot", str(tmp_path), "--launcher",
                                 stand_in("true\n"), "--preload", "none"],
                                capture_output=True, text=True, timeout=WAIT,
                                stdin=subprocess.DEVNULL)
        assert result.returncode == 2
        assert "not a board" in result.stderr


class TestIsolation:
    def test_switch_sees_its_own_root_host_and_network(self, make_board, stand_in, boot_board):
        marker = f"/root/vswitch-host-marker-{os.getpid()}"
        with open(marker, "w") as f:
            f.write("host only")
        try:
            board = make_board()
            child = boot_board(board, stand_in(
                "echo \"pid=$$ host=$(hostname)\"\n"
                f"echo \"marker=$(cat {marker} 2>&1)\"\n"
                "echo \"work=$(ls -d /work 2>&1)\"\n"
                "echo \"links=$(ip -o link 2>/dev/null | wc -l)\"\n"
                "echo \"devs=$(tail -n +3 /proc/net/dev | cut -d: -f1 | tr -d ' ' | tr '\\n' ,)\"\n"
                "echo \"procs=$(ls /proc | grep -c '^[0-9]')\"\n"))
            child.expect(r"pid=(\d+) host=(\S+)\r\n")
            assert child.match.group(2) == "vswitch"
            assert int(child.match.group(1)) < 10  # a fresh PID namespace
            child.expect(r"marker=([^\r]*)\r\n")
            assert "host only" not in child.match.group(1)
            child.expect(r"work=([^\r]*)\r\n")
            assert "No such file" in child.match.group(1)
            child.expect(r"devs=([^\r]*)\r\n")
            assert child.match.group(1) == "lo,"
            child.expect(r"procs=(\d+)\r\n")
            assert int(child.match.group(1)) < 10
            final, code = finish(child)
            assert final == "launcher exited with status 0" and code == 1
            assert os.uname().nodename != "vswitch"
        finally:
            os.unlink(marker)

    def test_mounts_made_on_the_switch_do_not_reach_the_host(self, make_board, stand_in,
                                                              boot_board):
        board = make_board()
        board_mounts_before = open("/proc/mounts").read().count(board.path)
        child = boot_board(board, stand_in(
            "/bin/mount -o sync -t jffs2 /dev/mtd-user /user\n"
            "mount -t tmpfs none /mnt\n"
            "echo mounted; sleep 30\n"))
        child.expect("mounted")
        assert open("/proc/mounts").read().count(board.path) == board_mounts_before
        child.sendcontrol("c")
        finish(child)

    def test_root_filesystem_holds_busybox_and_stand_ins_only(self, make_board, stand_in,
                                                               boot_board):
        board = make_board()
        child = boot_board(board, stand_in(
            "for f in /bin/* /sbin/* /usr/bin/* /usr/sbin/*; do\n"
            "  if [ -L \"$f\" ]; then t=$(readlink \"$f\"); [ \"$t\" = /bin/busybox ] || echo \"odd link $f\"\n"
            "  else head -c 2 \"$f\" | grep -q '#!' || [ \"$f\" = /bin/busybox ] || echo \"odd file $f\"\n"
            "  fi\n"
            "done\n"
            "echo listing done\n"))
        child.expect("listing done")
        assert "odd" not in child.before
        finish(child)


class TestPowerCycle:
    def test_reboot_is_reported_and_stops_the_board(self, make_board, stand_in, boot_board):
        board = make_board()
        child = boot_board(board, stand_in("echo rebooting; reboot; sleep 5; echo still alive\n"))
        child.expect("rebooting")
        final, code = finish(child)
        assert final == "board asked for a reboot"
        assert code == 0
        assert "still alive" not in child.before
        assert "vswitch: init was asked to reboot" in log_since_power_on(board)

    def test_reboot_by_its_path_works_too(self, make_board, stand_in, boot_board):
        board = make_board()
        child = boot_board(board, stand_in("/sbin/reboot\nsleep 5\n"))
        assert finish(child) == ("board asked for a reboot", 0)

    def test_exit_status_of_launcher_and_of_application(self, make_board, stand_in, boot_board):
        board = make_board()
        assert finish(boot_board(board, stand_in("exit 3\n"))) == (
            "launcher exited with status 3", 1)
        app = stand_in("mkdir -p /tmp/home/bin\n"
                       "printf '#!/bin/sh\\necho app running\\nexit 5\\n' > /tmp/home/bin/mp.elf.strip\n"
                       "chmod +x /tmp/home/bin/mp.elf.strip\n"
                       "exec /bin/backtrace\n")
        child = boot_board(board, app)
        child.expect("app running")
        assert finish(child) == ("application exited with status 5", 1)
        assert "backtrace" in log_since_power_on(board)

    def test_tmp_is_fresh_while_user_files_and_flash_persist(self, make_board, stand_in,
                                                             boot_board):
        board = make_board()
        script = stand_in(
            "/bin/mount -o sync -t jffs2 /dev/mtd-user /user\n"
            "echo \"tmp=[$(ls /tmp)]\"\n"
            "if [ -f /user/kept ]; then\n"
            "  echo \"second boot, kept=$(cat /user/kept)\"\n"
            "  exit 7\n"
            "fi\n"
            "echo left-in-ram > /tmp/scratch\n"
            "echo from-first-boot > /user/kept\n"
            "printf 'FLASH' | dd of=/.vswitch/dev/mtd-kernel.bin bs=1 seek=16 conv=notrunc 2>/dev/null\n"
            "reboot; sleep 5\n")
        child = boot_board(board, script, args=["--reboots", "1"])
        child.expect(r"tmp=\[\]")
        child.expect("power on again")
        child.expect(r"tmp=\[([^\]]*)\]")
        assert child.match.group(1) == ""
        child.expect("second boot, kept=from-first-boot")
        assert finish(child) == ("launcher exited with status 7", 1)
        assert user_file(board, "kept") == b"from-first-boot\n"
        assert board.read_partition("kernel", 16, 5) == b"FLASH"
        assert board.log_lines().count("vswitch: power on") == 2

    def test_timeout_powers_the_board_off(self, make_board, stand_in, boot_board):
        board = make_board()
        child = boot_board(board, stand_in("echo waiting; sleep 100\n"), args=["--timeout", "3"])
        child.expect("waiting")
        final, code = finish(child)
        assert final.startswith("no end within 3 seconds") and code == 124


class TestStandIns:
    def test_user_partition_mounts_only_while_mounted(self, make_board, stand_in, boot_board):
        board = make_board(image1=b"IMAGE-ONE")
        child = boot_board(board, stand_in(
            "echo \"before=[$(ls /user)]\"\n"
            "/bin/mount -o sync -t jffs2 /dev/mtd-user /user\n"
            "echo \"mounted=[$(ls /user/images)] $(cat /user/images/image1)\"\n"
            "/bin/mount -o sync -t jffs2 /dev/mtd-user /user; echo \"again=$?\"\n"
            "/bin/umount /user\n"
            "echo \"after=[$(ls /user)]\"\n"))
        child.expect(r"before=\[\]")
        child.expect(r"mounted=\[image1\] IMAGE-ONE")
        child.expect("Device or resource busy")
        child.expect(r"again=(\d+)")
        assert child.match.group(1) != "0"
        child.expect(r"after=\[\]")
        finish(child)
        log = log_since_power_on(board)
        assert log.count("mount -o sync -t jffs2 /dev/mtd-user /user") == 2
        assert "umount /user" in log

    def test_other_mounts_pass_to_busybox(self, make_board, stand_in, boot_board):
        board = make_board()
        child = boot_board(board, stand_in(
            "mount -t tmpfs none /mnt && grep ' /mnt ' /proc/mounts\n"))
        child.expect(r"none /mnt tmpfs")
        finish(child)

    def test_erasing_the_user_partition_removes_user_files_and_flash(self, make_board,
                                                                     stand_in, boot_board):
        board = make_board(image1=b"one", image2=b"two")
        os.makedirs(os.path.join(board.user, ".hidden"))
        board.write_partition("user-char", 4096, b"JFFS2 data")
        board.write_partition("kernel", 0, b"kernel stays")
        child = boot_board(board, stand_in("flash_eraseall /dev/mtd-user-char\necho erased\n"))
        child.expect("erased")
        finish(child)
        assert os.listdir(board.user) == []
        assert board.read_partition("user-char") == b"\xff" * 2097152
        assert board.read_partition("kernel", 0, 12) == b"kernel stays"
        assert "flash_eraseall /dev/mtd-user-char" in log_since_power_on(board)

    def test_network_debugger_and_receiver_stand_ins_log(self, make_board, stand_in, boot_board):
        board = make_board()
        child = boot_board(board, stand_in(
            "/bin/dhclient -1 eth0\n"
            "/sbin/ifconfig eth0 192.0.2.10\n"
            "/sbin/route add default gw 192.0.2.1\n"
            "LD_PRELOAD=libduma.so.0.0.0 /bin/gdbserver :1234 /bin/echo served\n"
            "/usr/bin/rx --version\n"
            "echo stand-ins done\n"))
        child.expect("served")
        child.expect("stand-ins done")
        finish(child)
        log = log_since_power_on(board)
        assert "dhclient -1 eth0" in log
        assert "ifconfig eth0 192.0.2.10" in log
        assert "route add default gw 192.0.2.1" in log
        assert "LD_PRELOAD=libduma.so.0.0.0 gdbserver :1234 /bin/echo served" in log
        assert "rx --version" in log

    def test_rx_accepts_an_absolute_path(self, make_board, stand_in, boot_board):
        board = make_board()
        child = boot_board(board, stand_in("/usr/bin/rx -X -t 10 /tmp/image < /dev/null\n"
                                           "echo rx ended\n"))
        child.expect("rx ended")
        assert "Security Violation" not in child.before
        finish(child)

    def test_xmodem_download_over_the_console_lands_in_tmp_image(self, make_board, stand_in,
                                                                 bootable, tmp_path):
        board = make_board()
        payload = bytes((i * 37) & 0xFF for i in range(4096))  # whole XMODEM blocks
        (tmp_path / "payload").write_bytes(payload)
        script = stand_in("stty raw -echo; echo ready; head -c 1 >/dev/null\n"
                          "/usr/bin/rx /tmp/image\n"
                          "md5sum /tmp/image >> /.vswitch/board.log\n")
        runner = subprocess.Popen([VSWITCH, "boot", board.path, "--launcher", script,
                                   "--preload", "none", "--timeout", "120"],
                                  stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
        try:
            seen = b""
            while b"ready" not in seen:
                chunk = os.read(runner.stdout.fileno(), 4096)
                assert chunk, seen
                seen += chunk
            # The stand-in holds rx back until this byte, so that the sender
            # sees everything rx says.
            runner.stdin.write(b"g")
            subprocess.run(["sx", str(tmp_path / "payload")], stdin=runner.stdout,
                           stdout=runner.stdin, stderr=subprocess.DEVNULL, timeout=WAIT * 2)
            runner.stdin.close()
            runner.wait(timeout=WAIT)
        finally:
            if runner.poll() is None:
                runner.kill()
        log = log_since_power_on(board)
        assert "rx /tmp/image" in log
        assert f"{hashlib.md5(payload).hexdigest()}  /tmp/image" in log

    def test_duma_library_loads_into_a_dynamic_program(self, make_board, stand_in, boot_board):
        if not vswitch.shutil.which("cc"):
            pytest.skip("no C compiler to build the stand-in library")
        board = make_board()
        child = boot_board(board, stand_in(
            "LD_PRELOAD=libduma.so.0.0.0 /usr/lib/vswitch/rx --version 2>&1\n"
            "echo duma done\n"))
        child.expect("duma done")
        assert "cannot be preloaded" not in child.before
        finish(child)
        assert any(line.startswith("libduma.so.0.0.0 loaded into pid")
                   for line in log_since_power_on(board))

    def test_usb_stick_appears_under_mnt_usb_with_its_ready_sign(self, make_board, stand_in,
                                                               boot_board):
        script = stand_in("echo \"stick=[$(ls /mnt/usb)] ready=$(test -e /tmp/usb && echo y)\"\n")
        with_stick = make_board("with", usb={"QLX5270_OS.img": b"x"})
        child = boot_board(with_stick, script)
        child.expect(r"stick=\[QLX5270_OS.img\] ready=y")
        finish(child)
        without = make_board("without")
        child = boot_board(without, script)
        child.expect(r"stick=\[\] ready=\r\n")
        finish(child)

    def test_late_stick_becomes_ready_after_the_delay(self, make_board, stand_in, boot_board):
        board = make_board(usb={"a": b"1"})
        child = boot_board(board, stand_in(
            "test -e /tmp/usb || echo not yet\n"
            "while ! test -e /tmp/usb; do sleep 0.2; done; echo now ready\n"),
            args=["--usb-delay", "2"])
        child.expect("not yet")
        child.expect("now ready")
        finish(child)


class TestConsole:
    def test_console_is_a_cooked_tty_with_signals_and_echo(self, make_board, stand_in,
                                                            boot_board):
        board = make_board()
        child = boot_board(board, stand_in(
            "stty -a\n"
            "trap 'echo got SIGINT' INT\n"
            "echo ready for a line\n"
            "read line; echo \"line=[$line]\"\n"
            "echo ready for ctrl-c\n"
            "sleep 30 & wait\n"
            "echo after wait\n"))
        child.expect(r"speed 9600 baud")
        child.expect("ready for a line")
        stty = child.before
        for flag in ("isig", "icanon", "echo", "icrnl", "onlcr"):
            assert re.search(rf"(?<![-\w]){flag}\b", stty), flag
        child.send("abc\x7fd\r")
        # Echoed by the line discipline, the erase as backspace-blank-backspace.
        child.expect_exact("abc\b \bd")
        child.expect(r"line=\[abd\]")
        child.expect("ready for ctrl-c")
        child.sendcontrol("c")
        child.expect("got SIGINT")
        child.expect("after wait")
        finish(child)

    def test_ttys0_is_the_console_itself(self, make_board, stand_in, boot_board):
        board = make_board()
        child = boot_board(board, stand_in(
            "echo \"same=$(stat -L -c %t:%T /dev/ttyS0) $(stat -L -c %t:%T /proc/self/fd/0)\"\n"
            "echo written-to-ttyS0 > /dev/ttyS0\n"
            "stty -F /dev/ttyS0 115200 -echo\n"
            "echo \"stdin now: $(stty | head -1)\"\n"))
        child.expect(r"same=(\S+) (\S+)\r\n")
        assert child.match.group(1) == child.match.group(2)
        child.expect("written-to-ttyS0")
        child.expect(r"stdin now: speed 115200 baud")
        finish(child)

    def test_escape_key_powers_the_board_off(self, make_board, stand_in, boot_board):
        board = make_board()
        child = boot_board(board, stand_in("echo waiting for the operator; sleep 100\n"))
        child.expect("Ctrl-] powers the board off")
        child.expect("waiting for the operator")
        child.send("\x1d")
        assert finish(child) == ("board powered off by the operator", 125)

    def test_piped_console_carries_bytes_both_ways(self, make_board, stand_in, bootable):
        board = make_board()
        script = stand_in("stty raw -echo; echo ready; head -c 5 | od -An -tx1; stty sane\n")
        proc = subprocess.Popen([VSWITCH, "boot", board.path, "--launcher", script,
                                 "--preload", "none", "--timeout", "120"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        seen = b""
        while b"ready" not in seen:
            chunk = proc.stdout.read1(4096)
            assert chunk, seen
            seen += chunk
        # Without a terminal on stdin there is no escape key: every byte,
        # the escape and Ctrl-C included, goes to the switch.
        out, _ = proc.communicate(b"\x1d\x03ab\n", timeout=WAIT * 2)
        assert b"1d 03 61 62 0a" in out
        assert proc.returncode == 1


# ------------------------------------------------------ the real launcher


class TestDemo:
    def test_demo_boots_slot_one_application(self, launcher, preload, boot_board, tmp_path):
        if not os.access(IMGTOOL, os.X_OK):
            pytest.skip(f"imgtool not built at {IMGTOOL}")
        out = tmp_path / "demo"
        result = subprocess.run(["sh", os.path.join(REPO, "sim", "demo", "make-demo.sh"),
                                 "--no-boot", str(out)], capture_output=True, text=True,
                                timeout=WAIT)
        assert result.returncode == 0, result.stderr
        board = vswitch.Board(str(out / "board"))
        child = boot_board(board, launcher, preload)
        child.expect("Booting image '1'")
        child.expect(r"demo application: image 'image1', version 1\.0\.0\.1")
        child.expect("mtd-rescue.bin")  # a partition descriptor the launcher left open
        child.expect("switch# ")
        child.sendline("reboot")
        assert finish(child) == ("board asked for a reboot", 0)
        assert board.vpd(0x13A) == 1
        log = log_since_power_on(board)
        assert log[:2] == ["mount -o sync -t jffs2 /dev/mtd-user /user", "backtrace"]
