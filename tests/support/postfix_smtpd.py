#!/usr/bin/python3
"""Postfix's own smtpd from a scratch configuration, one process a connection
(as inetd runs it), signing in through a Dovecot auth service started here:
a real server's word on how a client ends its sessions. It offers AUTH and
nothing after it (no queue behind it), and never touches the system's Postfix.

Usage: postfix_smtpd.py --dir D --user U --password W
Prints "READY <port>", then "LOG <line>" for every line smtpd logs.
"""
import argparse
import ctypes
import os
import signal
import socket
import subprocess
import threading
import time

MAIN_CF = """compatibility_level = 3.6
queue_directory = {d}/queue
data_directory = {d}/queue
myhostname = postfix.test
mydestination =
local_recipient_maps =
alias_maps =
maillog_file_prefixes = {d}
maillog_file = {d}/maillog
smtpd_sasl_auth_enable = yes
smtpd_sasl_type = dovecot
smtpd_sasl_path = {d}/auth
"""
DOVECOT_CONF = """protocols =
base_dir = {d}/run
state_dir = {d}/state
log_path = {d}/dovecot.log
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain login
auth_failure_delay = 0
default_internal_user = nobody
default_internal_group = nogroup
passdb {{
  driver = passwd-file
  args = scheme=PLAIN username_format=%u {d}/passwd
}}
userdb {{
  driver = static
  args = uid=nobody gid=nogroup home={d}
}}
service auth {{
  unix_listener {d}/auth {{
    mode = 0666
  }}
}}
"""


def die_with_parent():
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def print_log(log):
    while True:
        print("LOG " + log.recv(65536).decode(errors="replace"), flush=True)


def main():
    parser = argparse.ArgumentParser()
    for option in ("--dir", "--user", "--password"):
        parser.add_argument(option, required=True)
    args = parser.parse_args()
    d = args.dir
    for sub in ("conf", "queue/public", "run", "state"):
        os.makedirs(os.path.join(d, sub), exist_ok=True)
    for name, text in (("conf/main.cf", MAIN_CF), ("conf/master.cf", ""), ("dovecot.conf", DOVECOT_CONF),
                       ("passwd", "%s:{{PLAIN}}%s\n" % (args.user, args.password))):
        with open(os.path.join(d, name), "w") as f:
            f.write(text.format(d=d))
    os.chmod(d, 0o755)  # smtpd runs as Postfix's own user: as root it would take no login
    subprocess.Popen(["/usr/sbin/dovecot", "-F", "-c", os.path.join(d, "dovecot.conf")], preexec_fn=die_with_parent)
    for _ in range(100):
        if os.path.exists(os.path.join(d, "auth")):
            break
        time.sleep(0.1)
    log = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)  # where smtpd sends what it logs
    log.bind(os.path.join(d, "queue/public/postlog"))
    os.chmod(os.path.join(d, "queue/public/postlog"), 0o666)
    threading.Thread(target=print_log, args=(log,), daemon=True).start()
    listener = socket.create_server(("127.0.0.1", 0))
    print("READY %d" % listener.getsockname()[1], flush=True)
    env = dict(os.environ, MAIL_CONFIG=os.path.join(d, "conf"))
    while True:
        client, _ = listener.accept()
        subprocess.Popen(["setpriv", "--reuid=postfix", "--regid=postfix", "--clear-groups",
                          "/usr/lib/postfix/sbin/smtpd", "-S"], stdin=client, stdout=client, env=env,
                         preexec_fn=die_with_parent)
        client.close()


if __name__ == "__main__":
    main()
