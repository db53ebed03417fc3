# Sourced by test-sandbox.sh: what a member of the group corbelwynford may try on the spool folder
# against a file that only root may read, and the stray settings an administrator may write. After
# each, nothing of that file reached the receiver or the journal, nothing was written to it, and an
# ordinary message is delivered. Uses in_ct, unit_journal, claimed_and_gone, wait_for, pass, fail,
# write_settings, $root and $settings_file (the settings file that the administrator edits, as the
# container names it).

spool=/var/spool/corbelwynford
incoming=$spool/InComingSMS.txt
claim="$incoming.\$\$\$"
spool_failed=$spool/FailedSMS.txt
secret=""
seen=0  # the relay's entries before the attack
whose=""  # the unit under attack, in every text posted, since the receiver keeps them all

# Once per container: the root-only file, the attacker mallory and the feeder smsd (smstools' user)
# in the group, and an outsider who is not.
make_attack_users() {
  secret=rootonly$(od -An -N8 -tx8 /dev/urandom | tr -d ' ')
  in_ct sh -e -c 'umask 077; echo "$1" >/root/secret; useradd -m -G corbelwynford mallory
    id smsd >/dev/null 2>&1 || useradd smsd; usermod -aG corbelwynford smsd; useradd outsider
    runuser -u mallory -- sh -c "echo mallorys own words >~/own"' sh "$secret"
}

as_mallory() { in_ct runuser -u mallory -- sh -c "$@"; }
feed() {  # USER TEXT: a feed as USER, bounded well below its own 10 s wait for a lock
  in_ct runuser -u "$1" -- sh -c 'printf %s "$1" | timeout 5 /opt/corbelwynford/corbelwynford --feed' \
    sh "$2" 2>&1
}
requests_with() {  # TEXT: how many requests had the body sms:TEXT (bytes, any of them)
  LC_ALL=C grep -lxF --include='*.body' -r "sms:$1" "$root/srv/received" 2>/dev/null | wc -l
}
# The relay's entries since the attack began. Counted by line: journalctl --after-cursor with a
# match skipped the first entry that matched when the cursor's entry did not.
journal() { unit_journal | tail -n +"$((seen + 1))"; }
# TEXT: the relay's log says it, within 10 s (its entries of 100 bytes each joined again, without
# their dates and times).
said() {
  local text=$1  # eval runs in wait_for, where $1 is another
  wait_for 10 eval 'journal | sed "s/^[^ ]* [^ ]* //" | tr -d "\n" | grep -qF "$text"'
}
untouched() {  # the root-only file is as it was, and nothing of it was sent or logged
  [ "$(in_ct cat /root/secret)" = "$secret" ] && ! grep -rqF "$secret" "$root/srv/received" &&
    ! in_ct journalctl -q -o cat | grep -qF "$secret"
}

link_at() {  # PATH VERB: a link to the root-only file there, which the relay cannot VERB
  as_mallory 'ln -s /root/secret "$1"' sh "$1" && sleep 3 &&
    said "cannot $2 $1 ($1 is a symbolic link); it is left alone" && in_ct test -L "$1"
}
hard_links() {
  # The kernel refuses a hard link to a file one may not write (fs.protected_hardlinks); one to a
  # file of her own, the relay refuses.
  ! as_mallory 'ln /etc/passwd "$1"' sh "$incoming" 2>/dev/null &&
    as_mallory 'ln ~/own "$1"' sh "$incoming" && sleep 3 &&
    said "($incoming is a file of 2 names (hard links)); it is left alone" &&
    [ "$(requests_with "mallorys own words")" = 0 ]
}
fifo_at_incoming() {
  as_mallory 'mkfifo "$1"' sh "$incoming" && sleep 3 && said "($incoming is a FIFO)"
}
link_at_failed_file() {
  write_settings "$incoming" /status/500 "$spool_failed" &&
    as_mallory 'ln -s /root/secret "$1"' sh "$spool_failed" && feed smsd "to be kept" &&
    said "could not keep the failed message in $spool_failed: $spool_failed is a symbolic link"
}
settings_as_failed_file() {  # the administrator's stray setting
  write_settings "$incoming" /ok Corbelwynford.INI 2 && sleep 4 &&
    said "it is the settings file, and FailedFile must name a file of its own" &&
    in_ct grep -q "^URL=" "$settings_file"
}
failed_file_linked_to_incoming() {
  write_settings "$incoming" /status/500 "$spool_failed" 1 &&
    as_mallory 'ln -s InComingSMS.txt "$1"' sh "$spool_failed" && feed smsd "once $whose" && sleep 6 &&
    [ "$(requests_with "once $whose")" = 1 ]
}
fails_with() {  # USER TEXT: the feed exits 1 and says TEXT
  local out status=0
  out=$(feed "$1" "lost") || status=$?
  [ "$status" = 1 ] && [[ $out == *"$2"* ]] || { echo "     feed: $status $out" >&2; return 1; }
}
feed_into_dangling_link() {
  as_mallory 'ln -s /nowhere "$1"' sh "$incoming" &&
    fails_with smsd "$incoming is a symbolic link"
}
feed_without_settings() { fails_with outsider "cannot read $settings_file: Permission denied"; }
last_line_without_line_end() {
  in_ct systemctl stop corbelwynford.service &&
    as_mallory 'umask 002; printf "by hand %s" "$2" >>"$1"' sh "$incoming" "$whose" &&
    feed smsd "fed $whose" && in_ct systemctl start corbelwynford.service &&
    wait_for 20 eval '[ "$(requests_with "by hand $whose")" = 1 ] &&
      [ "$(requests_with "fed $whose")" = 1 ]'
}

attack() {  # NAME CHECK [ARG...]: CHECK tries it and tells whether the relay did the right thing
  seen=$(unit_journal | wc -l)
  local why="" after="after $1"
  "${@:2}" || why="$why, not as it should"
  untouched || why="$why, the root-only file touched, sent or logged"
  as_mallory 'rm -f "$@"' sh "$incoming" "$claim" "$spool_failed" || true
  write_settings "$incoming" /ok
  feed smsd "$after" >/dev/null &&
    wait_for 20 eval '[ "$(requests_with "$after")" = 1 ] && claimed_and_gone "$incoming"' ||
    why="$why, the next message not delivered"
  [ -z "$why" ] && pass "$1" || fail "$1 (${why#, }: $(journal | tail -8 | tr '\n' '|'))"
}

run_attacks() {  # WHOSE: which unit runs the relay, for the names of the checks
  whose=$1
  attack "$1: a link to a root-only file in the incoming file's place" link_at "$incoming" claim
  attack "$1: the same in the claim file's place" link_at "$claim" read
  attack "$1: hard links in the incoming file's place" hard_links
  attack "$1: a FIFO in the incoming file's place" fifo_at_incoming
  attack "$1: a link in the failed-message file's place" link_at_failed_file
  attack "$1: FailedFile naming the settings file, with RetryAfter" settings_as_failed_file
  attack "$1: FailedFile a link to the incoming file" failed_file_linked_to_incoming
  attack "$1: a feed into a dangling link fails at once" feed_into_dangling_link
  attack "$1: a feed that cannot read the settings fails, naming them" feed_without_settings
  attack "$1: a last line without its line end stays a message" last_line_without_line_end
}
