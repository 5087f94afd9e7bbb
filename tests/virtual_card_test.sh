#!/bin/sh
# The virtual sound card, through the launcher as scripts/run starts Takebox (the build
# tree's copy, BUILD_DIR/launcher/takebox, of the installed takebox):
#   - when ALSA's "default" device opens, Takebox starts as it is, with no extra line;
#   - when it does not (no sound card: CI machines, containers), the line about the
#     virtual card comes right before the banner, a take of 0.1 s at 44100 Hz 16-bit and
#     at 48000 Hz 24-bit records the 440 Hz test tone at -6.02 dB on both channels, and
#     playing it writes its frames into takebox-playback.raw in the working directory.
# usage: virtual_card_test.sh BUILD_DIR [EMULATOR]   (exit status 77: skipped, the machine
# has a card). EMULATOR runs the built programs of a cross build (qemu-arm -L / for armhf).
set -eu
build=$(cd "$1" && pwd)
emulator=${2:-}
TAKEBOX_EMULATOR=$emulator
export TAKEBOX_EMULATOR
start="$build/launcher/takebox"
notice="No sound card found: using the virtual card (capture: 440 Hz test tone, playback: takebox-playback.raw)"
banner="Takebox 1.05 by Marlo Fenwick"

work=$(mktemp -d "${TMPDIR:-/tmp}/takebox-vcard-XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() {
    echo "FAIL: $*" >&2
    [ -f out.txt ] && { echo "--- standard output:" >&2; cat out.txt >&2; }
    [ -f err.txt ] && { echo "--- standard error:" >&2; cat err.txt >&2; }
    exit 1
}

# Line N of out.txt.
line() {
    sed -n "$1p" out.txt
}

# A "default" device that opens (the null device standing in for a card): nothing changes.
system_conf=$($emulator "$build/takebox-probe" config-file)
printf 'pcm.!default "null"\n' >card.conf
printf 'q\n' | ALSA_CONFIG_PATH="$system_conf:$work/card.conf" sh "$start" >out.txt 2>err.txt ||
    fail "the launcher with a card failed"
[ "$(line 1)" = "" ] && [ "$(line 2)" = "$banner" ] || fail "with a card: not the banner first"
grep -q "No sound card" out.txt && fail "with a card: the virtual card was announced"
rm -f out.txt err.txt card.conf rcbox.txt tlist.txt

unset ALSA_CONFIG_PATH
# A cross build's programs run under the emulator beside the build machine's own ALSA
# files: the libraries that its pre-loaded files name (a sound server's hook,
# libasound_module_conf_pulse.so) are the build machine's, not armhf's, and do not load.
# There the programs get the machine's configuration without them, as on a board without
# those packages.
if [ -n "$emulator" ]; then
    awk 'cut == 0 && /^@hooks \[/ { cut = 1 } cut == 1 { if (/^\]/) cut = 2; next } { print }' \
        "$system_conf" >"$work/system.conf"
    ALSA_CONFIG_PATH=$work/system.conf
    export ALSA_CONFIG_PATH
fi
if $emulator "$build/takebox-probe"; then
    echo "This machine has a sound card: the virtual card is not used here"
    exit 77
fi

for format in "44100 16 2" "48000 24 3"; do
    set -- $format
    rate=$1
    bits=$2
    width=$3
    rm -f rcbox.txt tlist.txt tone.wav takebox-playback.raw out.txt err.txt
    printf 'dv\tdefault\nsr\t%s\nbits\t%s\nch\t2\ni\t0.000\no\t0.100\nd\t0.100\ntlist\ttlist.txt\nrname\ttone.wav\n' \
        "$rate" "$bits" >rcbox.txt
    # Record 0.1 s and save it, play it (track 1, from 0 to 0.1 s), quit.
    printf 'r\n1\n1p\nq\n' | sh "$start" >out.txt 2>err.txt || fail "the launcher failed"

    [ "$(line 1)" = "$notice" ] || fail "$rate Hz: line 1 is not the notice"
    [ "$(line 2)" = "" ] && [ "$(line 3)" = "$banner" ] || fail "$rate Hz: no banner after the notice"
    [ ! -s err.txt ] || fail "$rate Hz: messages on standard error"
    grep -q "^Channel 1 peak = -6.02 dB$" out.txt || fail "$rate Hz: channel 1 peak"
    grep -q "^Channel 2 peak = -6.02 dB$" out.txt || fail "$rate Hz: channel 2 peak"
    grep -q "^Playing tone.wav \.\.\.$" out.txt || fail "$rate Hz: tone.wav was not played"

    # The take: whole 4096-frame blocks covering 0.1 s, in the requested format.
    frames=$(((rate / 10 + 4095) / 4096 * 4096))
    size=$(wc -c <tone.wav)
    [ "$size" -eq $((44 + frames * 2 * width)) ] || fail "$rate Hz: tone.wav holds $size bytes"
    if command -v sox >/dev/null 2>&1; then
        [ "$(sox --i -r tone.wav)" = "$rate" ] || fail "$rate Hz: sox reads another rate"
        [ "$(sox --i -b tone.wav)" = "$bits" ] || fail "$rate Hz: sox reads another bit depth"
        [ "$(sox --i -c tone.wav)" = 2 ] || fail "$rate Hz: sox reads another channel count"
        # On each channel: a sine at half of full scale has an RMS amplitude of 0.354.
        for channel in 1 2; do
            sox tone.wav -n remix $channel stat 2>stat.txt
            awk '/^RMS +amplitude/ { rms = $3 } /^Rough +frequency/ { hz = $3 }
                 END { exit !(rms > 0.34 && rms < 0.37 && hz > 430 && hz < 450) }' stat.txt ||
                fail "$rate Hz: channel $channel is not the tone: $(cat stat.txt)"
        done
    fi

    # Playback from 0 to 0.1 s: whole 4096-frame chunks of the file's frames, two channels.
    [ -f takebox-playback.raw ] || fail "$rate Hz: no takebox-playback.raw"
    played=$(wc -c <takebox-playback.raw)
    [ "$played" -eq $((frames * 2 * width)) ] || fail "$rate Hz: $played bytes played"
    cmp -s -i 44:0 -n "$played" tone.wav takebox-playback.raw ||
        fail "$rate Hz: the played frames are not the take's"
done
echo "virtual card: notice, 16- and 24-bit takes of the tone, playback into the file"
