#!/bin/sh
# Installs the Debian packages given as arguments that are not installed yet.
# As root it runs apt-get; otherwise it prints the line to run and stops.
set -eu

missing=""
for pkg in "$@"; do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    case "$status" in
        *"install ok installed"*) ;;
        *) missing="$missing $pkg" ;;
    esac
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages. Install them with:" >&2
    echo "  sudo sh -c 'echo postfix postfix/main_mailer_type select No configuration | debconf-set-selections && apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y$missing'" >&2
    exit 1
fi

# Postfix and Dovecot are only test peers here: no system-wide mail service.
echo "postfix postfix/main_mailer_type select No configuration" | debconf-set-selections
policy=/usr/sbin/policy-rc.d
own_policy=0
if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' > "$policy"
    chmod 755 "$policy"
    own_policy=1
fi
trap '[ "$own_policy" = 1 ] && rm -f "$policy"' EXIT

export DEBIAN_FRONTEND=noninteractive
apt-get update -q
# shellcheck disable=SC2086
apt-get install -y -q $missing
