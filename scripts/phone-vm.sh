#!/usr/bin/env bash
# The alarm clock on a real kernel: a Debian 12 phone in a qemu virtual
# machine, with the package installed as a new user's machine gets it, an
# ordinary user in an active logind session starting the program as the app
# grid does (through D-Bus, so under its systemd user unit), the sound
# server a Debian 12 phone shell installs (pipewire-pulse with WirePlumber,
# the user's systemd services) with null devices, and a virtual display. It
# runs six scenarios and prints a line of figures for each:
#   (a) armed, suspended: the hardware clock wakes the phone, and it rings;
#   (b) armed, the window closed, suspended: it still wakes and rings;
#   (c) armed, rebooted: at login the autostart entry sets the alarm again,
#       and it rings;
#   (d) between the wake-up and the alarm, logind lists the program's
#       sleep lock: when it is first seen;
#   (e) armed, the program crashes (SIGSEGV): its unit starts it again, it
#       sets the alarm again, and after a suspend the phone wakes and rings;
#   (f) the sound server restarted 60 s before the alarm: it rings on time,
#       and claps in a pause stop it.
#
#   scripts/phone-vm.sh [WORK_DIR]
#
# Needs root (debootstrap, the guest's files as root's), about 8 GB of disk
# and half an hour: qemu emulates the machine (KVM does not work here), at
# the lowest priority, so it keeps one core busy. Not part of the test
# command. The guest image is kept in WORK_DIR and reused while the package
# and this script are the same; each run boots a fresh overlay on it.
set -euo pipefail
cd "$(dirname "$0")/.."
root_dir=$(pwd)
work=${1:-/var/tmp/alarmclock-vm}
mkdir -p "$work"
work=$(cd "$work" && pwd)

[[ $(id -u) -eq 0 ]] || { echo "phone-vm.sh needs root" >&2; exit 1; }
scripts/setup.sh debootstrap qemu-system-x86 qemu-utils e2fsprogs socat
scripts/package.sh >/dev/null
deb=$(ls "$root_dir"/build-deb/alarmclock_*.deb)

guest=$work/guest
image=$work/disk.img
stamp=$work/image.stamp
if [[ ! -f $image || $(cat "$stamp" 2>/dev/null) != "$(cat "$deb" "$0" | sha256sum)" ]]; then
    echo "== Building the guest (debootstrap bookworm)"
    rm -rf "$guest" "$image"
    mirror=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
    debootstrap --include=systemd-sysv,udev,dbus,dbus-user-session,libpam-systemd,polkitd,linux-image-amd64,initramfs-tools \
        bookworm "$guest" "$mirror" >"$work/debootstrap.log" 2>&1 \
        || { tail -20 "$work/debootstrap.log"; exit 1; }
    cp "$deb" "$guest/tmp/"
    mounts=(proc sys dev dev/pts)
    for m in "${mounts[@]}"; do mount --bind "/$m" "$guest/$m"; done
    trap 'for m in dev/pts dev sys proc; do mountpoint -q "$guest/$m" && umount "$guest/$m"; done' EXIT
    chroot "$guest" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive bash -c '
        set -e
        apt-get update -q >/dev/null
        # The sound server a phone shell brings, before the package looks
        # for one.
        apt-get install -y -q /tmp/alarmclock_*.deb pipewire pipewire-pulse wireplumber \
            >/tmp/apt.log 2>&1 || { tail -20 /tmp/apt.log; exit 1; }
        apt-get install -y -q --no-install-recommends xvfb xauth xdotool python3-xlib \
            pulseaudio-utils sox dex bc >>/tmp/apt.log 2>&1 || { tail -20 /tmp/apt.log; exit 1; }
        dpkg -s pulseaudio >/dev/null 2>&1 && { echo "the guest got PulseAudio"; exit 1; }
        systemctl --global enable pipewire.socket pipewire-pulse.socket wireplumber.service >/dev/null 2>&1
        # The scenarios read the program'"'"'s log from the journal.
        useradd -m -s /bin/bash -G dialout,systemd-journal phone
        echo "/dev/vda / ext4 defaults 0 1" >/etc/fstab
        echo phone-vm >/etc/hostname
        passwd -d root >/dev/null
        systemctl mask getty@tty1.service serial-getty@ttyS1.service >/dev/null 2>&1
        # The phone'"'"'s speaker, its room and the microphone that hears the
        # room belong to the sound server itself, so a restarted server has
        # them too. The speaker and the microphone rank first, as a phone'"'"'s
        # own do, so they are the defaults again after a restart, before
        # anyone names them.
        mkdir -p /etc/pipewire/pipewire-pulse.conf.d
        cat >/etc/pipewire/pipewire-pulse.conf.d/phone.conf <<PHONE
pulse.cmd = [
    { cmd = "load-module" args = "module-null-sink sink_name=speaker sink_properties=priority.session=2000" flags = [ ] }
    { cmd = "load-module" args = "module-null-sink sink_name=room sink_properties=priority.session=100" flags = [ ] }
    { cmd = "load-module" args = "module-remap-source source_name=mic master=room.monitor source_properties=priority.session=2000" flags = [ ] }
]
PHONE
        apt-get clean
    '
    for m in dev/pts dev sys proc; do umount "$guest/$m"; done
    trap - EXIT

    # The phone's session: the user logged in on seat0, running its
    # autostart entries and then the scenarios.
    install -m 0755 /dev/stdin "$guest/usr/local/bin/phone-session" <<'EOF'
#!/bin/bash
export XDG_RUNTIME_DIR=/run/user/$(id -u)
export DBUS_SESSION_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/bus
export DISPLAY=:1 QT_QPA_PLATFORM=xcb
data=$HOME/.local/share/alarmclock
mkdir -p "$data"
Xvfb :1 -screen 0 720x1280x24 -nolisten tcp >/tmp/xvfb.log 2>&1 &
for _ in $(seq 100); do [[ -e /tmp/.X11-unix/X1 ]] && break; sleep 0.2; done
# What a phone shell hands the programs it starts through D-Bus.
dbus-update-activation-environment --systemd DISPLAY QT_QPA_PLATFORM
for _ in $(seq 100); do pactl info 2>/dev/null | grep -q "Server Name: PulseAudio (on PipeWire" && break; sleep 0.3; done
for _ in $(seq 100); do pactl list short sources 2>/dev/null | grep -q "^[0-9]*[[:space:]]mic[[:space:]]" && break; sleep 0.3; done
pactl set-default-sink speaker
pactl set-default-source mic
# The room hums quietly, as a room does, again after the sound server
# restarts; no echo of the speaker here: under emulation the loopback piles
# up tens of seconds of delay.
(while :; do
    sox -q -n -r 8000 -c 1 -b 16 -e signed-integer -t raw - synth sine 120 synth pinknoise mix vol 0.03 \
        | pacat --device=room --latency-msec=50 --format=s16le --rate=8000 --channels=1
    sleep 1
done) &
dex -a -e GNOME >>"$data/program.log" 2>&1
exec /usr/local/bin/phone-scenarios >>"$data/scenarios.log" 2>&1
EOF

    install -m 0755 /dev/stdin "$guest/usr/local/bin/phone-scenarios" <<'EOF'
#!/bin/bash
# The scenarios, as the phone's user; figures go to the second serial port.
data=$HOME/.local/share/alarmclock
phase=$data/vm-phase
say() { echo "$*" >/dev/ttyS1; echo "$*"; }
now() { date +%s.%N; }
minus() { echo "$1 - $2" | bc -l | xargs printf '%.1f'; }

# The program's log under its unit, each line after its time in seconds
# since the epoch.
journal() {
    journalctl --user-unit alarmclock.service --no-pager -o short-unix "$@" 2>/dev/null
}
# All it logged since the boot, also where the autostart entry's fallback
# started it.
program_log() {
    journal -b
    cat "$data/program.log" 2>/dev/null
}

# Starts the program, or shows its window, as the app grid does with a
# desktop entry that is activated through D-Bus.
activate() {
    busctl --user call org.alarmclock.AlarmClock /org/alarmclock/AlarmClock \
        org.freedesktop.Application Activate 'a{sv}' 0 >/dev/null \
        || say "activation failed: $(systemctl --user status alarmclock.service --no-pager 2>&1 | tail -3 | xargs)"
}

# Sets an alarm at the first whole minute at least $1 seconds ahead, from a
# program started from the app grid.
arm() {
    alarm=$(( ($(date +%s) + $1 + 59) / 60 * 60 ))
    printf 'sounds/ringin.wav\n%s\n1\n1\n8\n1\n' "$(date -d @$alarm +%H:%M:%S)" >"$data/alarm.conf"
    activate
    window=$(xdotool search --sync --onlyvisible --name '^MainWindow$' | head -1)
    sleep 3
    xdotool mousemove --window "$window" 297 297 click 1
    for _ in $(seq 50); do [[ -f $data/alarm.armed ]] && break; sleep 0.2; done
    [[ -f $data/alarm.armed ]] || say "could not arm the alarm"
}

# The kernel's wake-up sources and how many wake-ups each has counted.
wake_counts() {
    local source
    for source in /sys/class/wakeup/*; do
        echo "$(cat "$source/name" 2>/dev/null) $(cat "$source/event_count" 2>/dev/null)"
    done | sort
}

# Suspends the phone; back once it has been woken. Says which wake-up
# sources counted the wake-up.
suspend_until_woken() {
    local previous before
    previous=$(cat /run/alarmvm/resumed 2>/dev/null || echo none)
    before=$(wake_counts)
    sleep 5
    systemctl suspend
    for _ in $(seq 1200); do
        [[ $(cat /run/alarmvm/resumed 2>/dev/null || echo none) != "$previous" ]] && break
        sleep 0.25
    done
    resumed=$(cat /run/alarmvm/resumed 2>/dev/null || echo 0)
    woken_by=$(join <(echo "$before") <(wake_counts) | awk '$3 > $2 { print $1 }' | xargs)
}

# Watches the speaker for the alarm: when it first carries it, in seconds
# since the epoch, or "none" if it has not a minute after the alarm moment.
# With "claps", it then waits for a pause in the ringing and claps into the
# room, and says when. Started before anything else that may be slow after
# a resume; the room's player is ready before the alarm, since a program
# started under emulation would miss the pause.
watch_ringing() {
    parec -d speaker.monitor --format=s16le --rate=8000 --channels=1 --latency-msec=50 --raw \
        | python3 -c '
import random, struct, subprocess, sys, time
deadline = float(sys.argv[1]) + 60
room = None
if sys.argv[2] == "claps":
    room = subprocess.Popen(["pacat", "--device=room", "--latency-msec=50", "--format=s16le",
                             "--rate=8000", "--channels=1", "--raw"], stdin=subprocess.PIPE)
    clap = struct.pack("<320h", *(int(random.uniform(-0.9, 0.9) * 32767) for _ in range(320)))
    claps = (clap + bytes(4000)) * 3
rang = clapped = None
quiet = 0
while time.time() < deadline:
    block = sys.stdin.buffer.read(800)
    if not block:
        break
    peak = max(abs(v) for v in struct.unpack("<%dh" % (len(block) // 2), block))
    if rang is None:
        if peak > 9800:
            rang = time.time()
            if room is None:
                break
        continue
    quiet = quiet + 1 if peak < 1000 else 0
    if quiet >= 6:
        clapped = time.time()
        room.stdin.write(claps)
        room.stdin.close()
        break
print("%s %s" % ("%.3f" % rang if rang else "none", "%.3f" % clapped if clapped else "none"))
' "$alarm" "${1:-}" >/tmp/rang &
    watcher=$!
}
wait_for_ringing() {
    wait "$watcher" 2>/dev/null || true
    pkill -f "parec -d speaker.monitor" || true
    read -r rang clapped </tmp/rang || rang=none
}

# Shows the running program's window (a second start from the app grid),
# stops the alarm unless it has stopped already, and closes the window.
stop_alarm() {
    activate
    sleep 3
    window=$(xdotool search --onlyvisible --name '^MainWindow$' | head -1)
    if [[ -f $data/alarm.armed ]]; then
        xdotool mousemove --window "$window" 297 297 click 1
        sleep 2
    fi
    [[ -f $data/alarm.armed ]] && say "the alarm did not stop"
    python3 /usr/local/bin/closewindow "$window" 2>/dev/null || pkill -x alarmclock
    sleep 3
}

case $(cat "$phase" 2>/dev/null) in
"")
    say "session up at $(date +%T); $(systemd-inhibit --list --no-pager | tail -1)"
    # (a) and (d)
    arm 120
    suspend_until_woken
    watch_ringing
    # The lock is looked for until the alarm comes: when logind first lists
    # it says how long the phone was left free to suspend again.
    inhibitors=
    while [[ -z $inhibitors ]] && (( $(date +%s) < alarm )); do
        inhibitors=$(systemd-inhibit --list --no-pager | grep -i alarm | tr -s ' ' | head -1)
        checked=$(now)
    done
    wait_for_ringing
    say "(a) armed for $(date -d @$alarm +%T), suspended: woken $(minus $alarm $resumed) s before the alarm (wake-up counted by: ${woken_by:-no source}); rang $( [[ $rang == none ]] && echo never || echo "$(minus $rang $alarm) s after the alarm moment")"
    refused=$(journal -b | grep -m1 -o "Cannot keep the phone.*")
    say "(d) first listed $(minus $checked $resumed) s after the resume, $(minus $alarm $checked) s before the alarm: systemd-inhibit --list: ${inhibitors:-no lock of the alarm clock}${refused:+; the program said: $refused}"
    stop_alarm
    # (b)
    arm 120
    window=$(xdotool search --onlyvisible --name '^MainWindow$' | head -1)
    python3 /usr/local/bin/closewindow "$window"
    sleep 2
    shown=$(xdotool search --onlyvisible --name '^MainWindow$' | wc -l)
    running=$(pgrep -xc alarmclock || true)
    suspend_until_woken
    watch_ringing
    wait_for_ringing
    say "(b) armed for $(date -d @$alarm +%T), window closed (windows shown: $shown, programs running: $running), suspended: woken $(minus $alarm $resumed) s before the alarm; rang $( [[ $rang == none ]] && echo never || echo "$(minus $rang $alarm) s after the alarm moment")"
    stop_alarm
    # (e)
    arm 120
    pid=$(systemctl --user show -p MainPID --value alarmclock.service)
    killed=$(now)
    kill -SEGV "$pid"
    rearmed=
    for _ in $(seq 120); do
        rearmed=$(journal --since "@${killed%.*}" | grep "Alarm re-armed for .* after a restart" | tail -1)
        [[ -n $rearmed ]] && break
        sleep 0.5
    done
    restarts=$(systemctl --user show -p NRestarts --value alarmclock.service)
    newpid=$(systemctl --user show -p MainPID --value alarmclock.service)
    suspend_until_woken
    watch_ringing
    wait_for_ringing
    say "(e) armed for $(date -d @$alarm +%T), the program (pid $pid) killed by SIGSEGV $(minus $alarm $killed) s before it: the unit started it again (restarts: $restarts, pid $newpid), $( [[ -n $rearmed ]] && echo "\"${rearmed#*: }\" logged $(minus "${rearmed%% *}" $killed) s after the kill" || echo "no re-armed line"); suspended: woken $(minus $alarm $resumed) s before the alarm; rang $( [[ $rang == none ]] && echo never || echo "$(minus $rang $alarm) s after the alarm moment")"
    stop_alarm
    # (f)
    arm 120
    while (( $(date +%s) < alarm - 60 )); do sleep 0.2; done
    restarted=$(now)
    systemctl --user restart pipewire pipewire-pulse wireplumber
    for _ in $(seq 200); do pactl list short sources 2>/dev/null | grep -q "[[:space:]]mic[[:space:]]" && break; sleep 0.2; done
    back=$(now)
    defaults="$(pactl get-default-sink 2>&1), $(pactl get-default-source 2>&1)"
    watch_ringing claps
    wait_for_ringing
    defaults="$defaults; when it rang: $(pactl get-default-source 2>&1)"
    stopped=$(journal --since "@${restarted%.*}" | grep "alarm stopped by" | tail -1)
    microphone=$(journal --since "@${restarted%.*}" | grep -oE "The microphone (was lost|is back)" | paste -sd, -)
    say "(f) armed for $(date -d @$alarm +%T); the sound server restarted $(minus $alarm $restarted) s before it, back (mic listed) after $(minus $back $restarted) s, defaults: $defaults; the program said: ${microphone:-nothing of the microphone}; rang $( [[ $rang == none ]] && echo never || echo "$(minus $rang $alarm) s after the alarm moment"); claps in a pause at $( [[ ${clapped:-none} == none ]] && echo never || echo "+$(minus $clapped $alarm) s"): $( [[ -n $stopped ]] && echo "\"${stopped#*: }\" $(minus "${stopped%% *}" "${clapped:-0}") s after the claps began" || echo "not stopped")"
    stop_alarm
    # (c), first half
    arm 300
    echo "2 $alarm $(now)" >"$phase"
    say "(c) armed for $(date -d @$alarm +%T); rebooting"
    sleep 2
    systemctl reboot
    ;;
2*)
    read -r _ alarm rebooted <"$phase"
    echo done >"$phase"
    login=$(now)
    for _ in $(seq 100); do program_log | grep -q "after a restart" && break; sleep 0.5; done
    rearmed=$(program_log | grep -o "Alarm re-armed for .* after a restart" | tail -1)
    watch_ringing
    wait_for_ringing
    say "(c) rebooted $(minus $alarm $rebooted) s before the alarm; logged in $(minus $alarm $login) s before it; the autostart entry's program said \"${rearmed:-nothing}\"; rang $( [[ $rang == none ]] && echo never || echo "$(minus $rang $alarm) s after the alarm moment")"
    stop_alarm
    say "done"
    ;;
esac
EOF
    install -m 0755 "$root_dir/tests/closewindow.py" "$guest/usr/local/bin/closewindow"

    install -m 0755 /dev/stdin "$guest/usr/lib/systemd/system-sleep/alarmvm" <<'EOF'
#!/bin/sh
# Notes when the phone resumes, for the scenarios.
if [ "$1" = post ]; then
    mkdir -p /run/alarmvm
    date +%s.%N >/run/alarmvm/resumed
    chmod 0755 /run/alarmvm; chmod 0644 /run/alarmvm/resumed
fi
EOF
    cat >"$guest/etc/systemd/system/phone-session.service" <<'EOF'
[Unit]
Description=The phone's user, logged in on seat0
After=systemd-user-sessions.service systemd-logind.service
Conflicts=getty@tty1.service

[Service]
User=phone
PAMName=login
# A graphical session, as a phone shell's is: the services its user manager
# runs are then judged by polkit as part of it.
Environment=XDG_SESSION_TYPE=x11 XDG_SESSION_CLASS=user
TTYPath=/dev/tty1
StandardInput=tty-fail
StandardOutput=journal
ExecStart=/usr/local/bin/phone-session

[Install]
WantedBy=multi-user.target
EOF
    ln -sf /etc/systemd/system/phone-session.service \
        "$guest/etc/systemd/system/multi-user.target.wants/phone-session.service"

    echo "== Making the disk image"
    cp "$guest"/boot/vmlinuz-* "$work/vmlinuz"
    cp "$guest"/boot/initrd.img-* "$work/initrd.img"
    mke2fs -q -t ext4 -d "$guest" -L root "$image" 8G
    cat "$deb" "$0" | sha256sum >"$stamp"
fi

echo "== Booting the phone (qemu, emulated)"
run=$work/run
rm -rf "$run"
mkdir -p "$run"
qemu-img create -q -f qcow2 -F raw -b "$image" "$run/overlay.qcow2"
: >"$run/figures.txt"
nice -n 19 qemu-system-x86_64 -accel tcg -m 2048 -smp 1 -nographic \
    -kernel "$work/vmlinuz" -initrd "$work/initrd.img" \
    -append "root=/dev/vda rw console=ttyS0 quiet" \
    -drive "file=$run/overlay.qcow2,if=virtio,format=qcow2" \
    -rtc base=utc,clock=host -nic none \
    -serial "file:$run/console.log" -serial "file:$run/figures.txt" \
    -qmp "unix:$run/qmp.sock,server,nowait" -monitor none &
qemu=$!
trap 'kill $qemu 2>/dev/null || true' EXIT

# The machine's own word on suspend and wake-up.
for _ in $(seq 50); do [[ -S $run/qmp.sock ]] && break; sleep 0.2; done
(echo '{"execute":"qmp_capabilities"}'; sleep 86400) | socat - "UNIX-CONNECT:$run/qmp.sock" 2>/dev/null \
    | while read -r line; do
        case $line in *'"event"'*) echo "$(date +%T) $line" >>"$run/qmp-events.txt" ;; esac
    done &
events=$!

deadline=$((SECONDS + 3600))
while ! grep -q '^done' "$run/figures.txt" && ((SECONDS < deadline)) && kill -0 $qemu 2>/dev/null; do
    sleep 10
done
kill $events $qemu 2>/dev/null || true
echo "== Figures"
cat "$run/figures.txt"
echo "== QMP events (host time)"
grep -oE '^[0-9:]+ .*"event": *"(SUSPEND|WAKEUP|RESET|SHUTDOWN)"' "$run/qmp-events.txt" 2>/dev/null \
    | sed -E 's/\{.*"event": *"([A-Z]+)".*/\1/' || true
grep -q '^done' "$run/figures.txt"
