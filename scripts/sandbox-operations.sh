# Sourced by test-sandbox.sh: the package's service as an administrator meets it, with its own
# settings (pointed at the container's server): failed messages kept and sent again once the
# receiver is back, a crash restarted, a reinstall in the middle of a file, the journal and the
# status line, purge and install again, and both SMS daemons from Debian set up as the README says.
# Uses in_ct, unit_journal, put_in_place, wait_for, pass, fail, requests_with, $root, $port and
# $packaged (the package's own
# settings file, as installed).

settings_path=/etc/corbelwynford/Corbelwynford.INI
spool_in=/var/spool/corbelwynford/InComingSMS.txt

# The package's own settings, with the receiver's address and short waits.
packaged_settings() {  # URL
  sed -e "s|^URL=.*|URL=$1|" -e 's|^ScanInterval=.*|ScanInterval=1|' \
    -e 's|^WaitForAnswer=.*|WaitForAnswer=5|' -e 's|^XML=.*|XML=sms:[Message]|' \
    -e 's|^Escape=.*|Escape=|' "$packaged" >"$root$settings_path.new"
  put_in_place "$root$settings_path"
}
receiver() {  # start|stop: the container's server, always on the same port
  if [ "$1" = stop ]; then
    in_ct systemctl stop cw-test-server.service
  else
    in_ct systemd-run --quiet --unit=cw-test-server python3 /srv/http_server.py \
      --record /srv/received --port "$port" --port-file /srv/port
  fi
}
fed() { in_ct runuser -u smsd -- sh -c 'printf %s "$1" | corbelwynford-feed' sh "$1"; }
# MESSAGE...: one incoming file of them, written under another name and renamed into place.
drop_file() {
  in_ct runuser -u smsd -- sh -c 'umask 007; printf "%s\r\n" "$@" >"$0.part"; mv "$0.part" "$0"' \
    "$spool_in" "$@"
}
journal_lines() { unit_journal | grep -c -F "$1"; }
main_pid() { in_ct systemctl show -P MainPID corbelwynford.service; }

kept_and_sent_again() {
  receiver stop && fed "kept 1" && fed "kept 2" &&
    wait_for 30 eval '[ "$(in_ct cat /var/spool/corbelwynford/FailedSMS.txt | wc -l)" = 2 ]' &&
    receiver start &&
    wait_for 90 eval '[ "$(requests_with "kept 1")" = 1 ] && [ "$(requests_with "kept 2")" = 1 ]'
}
crash_restarted() {
  local before
  before=$(main_pid)
  in_ct systemctl kill --signal=SIGSEGV corbelwynford.service &&
    wait_for 20 eval '[ "$(main_pid)" != 0 ] && [ "$(main_pid)" != "$before" ] &&
      [ "$(in_ct systemctl is-active corbelwynford.service)" = active ]' &&
    fed "after the crash" && wait_for 20 eval '[ "$(requests_with "after the crash")" = 1 ]'
}
status_follows_each_message() {
  local seen
  drop_file $(seq -f 'status%02g' 30)
  seen=$(for _ in $(seq 250); do
    in_ct systemctl show -P StatusText corbelwynford.service
    [ "$(requests_with status30)" = 1 ] && break
    sleep 0.2
  done | grep '^Sending ' | sort -u)
  echo "     $(echo "$seen" | wc -l) different status lines while sending, the 15th:"
  echo "     $(echo "$seen" | sed -n 15p)"
  [ "$(echo "$seen" | wc -l)" -ge 25 ]
}
# A reason of over 400 characters (a link named at length in the incoming file's place), and the
# Tx line of a 16 MB message.
journal_one_line_each() {
  local name
  name=/var/spool/corbelwynford/$(printf 'x%.0s' $(seq 190)).txt
  in_ct runuser -u smsd -- ln -s /nowhere "$name" &&
    sed -i "s|^FileToScan=.*|FileToScan=$name|" "$root$settings_path" &&
    wait_for 20 eval '[ "$(journal_lines "cannot claim $name ($name is a symbolic link)")" = 1 ]' &&
    sed -i "s|^FileToScan=.*|FileToScan=$spool_in|" "$root$settings_path" &&
    in_ct runuser -u smsd -- sh -c 'umask 007; head -c 16777216 /dev/zero | tr "\0" x >"$0.part"
      mv "$0.part" "$0"' "$spool_in" &&
    wait_for 60 eval '[ "$(journal_lines "... (16777220 bytes)")" = 1 ]' &&
    [ "$(journal_lines " Tx: sms:xxxx")" = 1 ] &&
    echo "     one journal line each: the reason of" \
      "$(unit_journal | grep -F "$name" | wc -L) characters," \
      "the 16 MB message's Tx of $(unit_journal | grep -F "(16777220 bytes)" | wc -L)"
}
reinstall_in_the_middle() {
  drop_file $(seq -f 'reinstall%02g' 12)
  wait_for 30 eval '[ "$(requests_with reinstall03)" = 1 ]' &&
    in_ct apt-get install -y -q --reinstall /srv/corbelwynford.deb >/dev/null 2>&1 &&
    wait_for 60 eval '[ "$(requests_with reinstall12)" -ge 1 ]' &&
    for n in $(seq -f 'reinstall%02g' 12); do [ "$(requests_with "$n")" = 1 ] || return 1; done
}
purge_then_install() {
  in_ct systemctl stop corbelwynford.service && fed "waits through a purge" &&
    in_ct apt-get purge -y -q corbelwynford >/dev/null 2>&1 && in_ct test -f "$spool_in" &&
    in_ct dpkg -i /srv/corbelwynford.deb >/dev/null 2>&1 && fed "fed after the purge" &&
    packaged_settings "http://webapp.test:$port/ok" &&
    in_ct corbelwynford /I >/dev/null 2>&1 && in_ct systemctl start corbelwynford.service &&
    wait_for 20 eval '[ "$(requests_with "waits through a purge")" = 1 ] &&
      [ "$(requests_with "fed after the purge")" = 1 ]'
}

operate() {  # NAME CHECK
  if "$2"; then pass "$1"; else
    fail "$1 ($(unit_journal | tail -4 | cut -c1-200 | tr '\n' '|'))"
    in_ct systemctl status --no-pager -n 4 corbelwynford smstools gammu-smsd 2>&1 |
      sed 's/^/     /' >&2
  fi
}

# smstools as the README sets it up: the handler line at the top of /etc/smsd.conf, its user in the
# group. Without a modem smsd cannot receive, so the handler is then called as smsd would call it.
smstools_as_the_readme_says() {
  local log=/var/log/smstools/smsd.log seen
  seen=$(in_ct cat "$log" | wc -l)
  in_ct sed -i '1i eventhandler = /usr/bin/corbelwynford-feed' /etc/smsd.conf &&
    in_ct systemctl restart smstools &&
    wait_for 20 eval 'in_ct tail -n +"$((seen + 1))" "$log" | grep -q "smsd: Smsd v.* started"' &&
    sleep 2 && ! in_ct tail -n +"$((seen + 1))" "$log" | grep -q -e "cannot be read" -e "Cannot start" &&
    [ "$(in_ct systemctl is-active smstools)" = active ] &&
    in_ct grep -q "^Groups:.* $(in_ct getent group corbelwynford | cut -d: -f3)\b" \
      "/proc/$(in_ct cat /run/smstools/smsd.pid)/status" &&
    in_ct runuser -u smsd -- sh -c 'umask 007; printf "From: 4917012345678\nAlphabet: GSM\n\n%b" \
      "\001 5 from smstools" >/var/spool/sms/incoming/GSM1.test
      /usr/bin/corbelwynford-feed RECEIVED /var/spool/sms/incoming/GSM1.test' &&
    wait_for 20 eval '[ "$(requests_with "$(printf "\243 5 from smstools")")" = 1 ]'
}
# Gammu as the README sets it up, with Debian's own unit (as root) and the dummy phone. systemd
# gives the service LANG=C.UTF-8 where the system names no locale; under LANG=C Gammu itself turns
# a letter outside ASCII into "?", and the README's locale line puts it right.
gammu_as_the_readme_says() {
  in_ct sh -e -c 'mkdir -p /var/lib/phone /var/spool/gammu/inbox /var/spool/gammu/outbox \
      /var/spool/gammu/sent /var/spool/gammu/error
    printf "%s\n" "[gammu]" "model = dummy" "connection = none" "port = /var/lib/phone/" \
      "[smsd]" "service = files" "ReceiveFrequency = 1" "CommTimeout = 1" \
      "inboxpath = /var/spool/gammu/inbox/" "outboxpath = /var/spool/gammu/outbox/" \
      "sentsmspath = /var/spool/gammu/sent/" "errorsmspath = /var/spool/gammu/error/" \
      "RunOnReceive = /usr/bin/corbelwynford-feed" >/etc/gammu-smsdrc
    echo LANG=C >/etc/default/gammu-smsd' && gammu_relays "cafe 1 é" "cafe 1 ?" &&
    in_ct sh -c 'sed -i /^LANG=/d /etc/default/gammu-smsd; echo LANG=C.UTF-8 >>/etc/default/gammu-smsd' &&
    gammu_relays "cafe 2 é" "$(printf "cafe 2 \351")"
}
# TEXT SENT: Gammu's service, restarted, gets TEXT in the dummy phone's inbox; SENT arrives.
gammu_relays() {
  local sent=$2  # eval runs in wait_for, where $2 is another
  in_ct systemctl restart gammu-smsd && sleep 2 &&
    in_ct gammu -c /etc/gammu-smsdrc savesms TEXT -folder 1 -unread -sender +4917012345678 \
      -textutf8 "$1" >/dev/null && wait_for 30 eval '[ "$(requests_with "$sent")" -ge 1 ]'
}

run_operations() {
  packaged_settings "http://webapp.test:$port/ok"
  in_ct usermod -aG corbelwynford smsd
  operate "the package's settings keep failed messages and send them again once the receiver is back" kept_and_sent_again
  operate "a crashed relay (SIGSEGV) is back within seconds" crash_restarted
  operate "the status line changes with each message of a file of 30" status_follows_each_message
  operate "the journal shows a long reason and a 16 MB message's Tx in one line each" journal_one_line_each
  operate "apt install --reinstall in the middle of a file sends no message twice" reinstall_in_the_middle
  operate "purge with a message kept, then install: it is sent, and the daemon's user feeds again" purge_then_install
  operate "smstools starts with the README's handler line, and its user feeds as smsd would" smstools_as_the_readme_says
  operate "Gammu's own service feeds with the README's lines; without the locale line é is ?" gammu_as_the_readme_says
}
