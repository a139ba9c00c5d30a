#!/usr/bin/env python3
"""What the status line costs: the program plays the built-in disc (30 s) in real time through the
test sink (tests/support/paced_sink.cpp), once with standard error on a pseudo-terminal (status line
on) and once on /dev/null (off), and prints the program's CPU time for each. Asserts nothing.
    bench/status_line.py [build dir]     (after: cmake --build --preset linux)
"""
import os, pty, sys, tempfile, threading

build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "build", "linux")
program = os.path.join(build, "bin", "cddaplay")
sink = os.path.join(build, "bin", "libasound_module_pcm_cddaplay_paced.so")

def run(on_terminal):
    with tempfile.TemporaryDirectory() as d:
        conf = os.path.join(d, "sink.conf")
        with open(conf, "w") as f:
            f.write('pcm_type.cddaplay_paced { lib "%s" }\n' % sink)
            f.write('pcm.!default { type cddaplay_paced file "%s" lenient yes }\n' % os.path.join(d, "heard.raw"))
        env = dict(os.environ, CDDAPLAY_IMAGES="builtin", ALSA_CONFIG_PATH=conf)
        env.pop("CDDAPLAY_FAULTS", None)
        master, slave = pty.openpty()
        null = os.open(os.devnull, os.O_RDWR)
        pid = os.fork()
        if pid == 0:
            os.dup2(null, 0)
            os.dup2(null, 1)
            os.dup2(slave if on_terminal else null, 2)
            os.execve(program, [program], env)
        os.close(slave)
        drained = threading.Thread(target=lambda: drain(master), daemon=True)
        drained.start()
        _, _, usage = os.wait4(pid, 0)
        return usage.ru_utime + usage.ru_stime

def drain(fd):
    try:
        while os.read(fd, 4096):
            pass
    except OSError:
        pass

off = run(False)
on = run(True)
print("CPU for 30 s of sound: status line off %.3f s, on %.3f s (difference %+.3f s, %+.2f ms per second of sound)"
      % (off, on, on - off, (on - off) * 1000 / 30))
