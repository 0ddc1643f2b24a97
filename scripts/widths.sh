# Sourced by the commands: which widths of the Windows build this machine can run under Wine. The
# 64-bit build always runs (wine64); the 32-bit product needs a kernel that starts 32-bit programs,
# which only trying one shows.

# The smallest 32-bit Linux program: an ELF header, one program header and the code of exit(42),
# with nothing to load besides itself.
TAVO_PROBE32='\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00'
TAVO_PROBE32+='\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'
TAVO_PROBE32+='\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00'
TAVO_PROBE32+='\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80'

# True when a 32-bit program started in folder $1 runs to its end with its own exit code.
tavo_can_start_32bit() {
    local probe status=0
    mkdir -p "$1"
    probe="$(mktemp "$1/probe32.XXXXXX")"
    printf "$TAVO_PROBE32" >"$probe"
    chmod +x "$probe"
    "$probe" >/dev/null 2>&1 || status=$?
    rm -f "$probe"
    [ "$status" = 42 ]
}

TAVO_NO_32BIT="this machine cannot start 32-bit programs, so Wine cannot run the 32-bit product here"
