"""The program's app.log as the system suites read it: by byte offset, across one turn to app.log.1."""
import os


def log_size(log):
    try:
        return os.path.getsize(log)
    except FileNotFoundError:
        return 0


def log_since(log, offset):
    """The messages (stamps cut) written since the log had offset bytes."""
    def read(path, start):
        try:
            with open(path, "rb") as f:
                f.seek(start)
                return f.read()
        except FileNotFoundError:
            return b""
    text = read(log, offset) if log_size(log) >= offset else read(log + ".1", offset) + read(log, 0)
    return [line[9:] for line in text.decode("utf-8", "replace").split("\r\n") if line]
