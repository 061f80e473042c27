# neon-instructions.awk - reads the disassembly of 32-bit ARM code
# (objdump -d --no-show-raw-insn) and prints every instruction that an
# ARMv7-A CPU with VFPv3-D16 and no NEON (Debian armhf's baseline) lacks:
# Advanced SIMD (NEON), registers d16-d31 and q0-q15, half precision, and
# VFPv4 or later. One line each: the address, the instruction, the reason.
#
# ELF build attributes say what a file's objects were compiled for, not what
# runs: a linker may merge in start files assembled for a larger CPU. This
# looks at the instructions themselves.
#
# One form with d16-d31 is allowed: the unwinder's
# "vldmia/vstmia rN, {d16-d31}", which saves and restores those registers
# only when an unwind table names them, and code built for VFPv3-D16 never
# does.
BEGIN {
    FS = "\t"
    conditions = "(eq|ne|cs|cc|hs|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|al)?"
    # The VFPv3 instructions, as objdump spells them.
    vfp = "^(vldr|vstr|vldmia|vldmdb|vstmia|vstmdb|vpush|vpop|vmov|vmrs|vmsr|vcvt|vcvtr|" \
          "vadd|vsub|vmul|vdiv|vneg|vabs|vsqrt|vcmp|vcmpe|vmla|vmls|vnmla|vnmls|vnmul)" conditions "$"
}

function flag(reason) {
    address = $1
    gsub(/^ +|:? *$/, "", address)
    print address " " mnemonic " " operands ": " reason
}

NF >= 2 && $2 ~ /^v/ {
    mnemonic = $2
    sub(/ +$/, "", mnemonic)
    operands = $3
    sub(/ *[;@].*$/, "", operands)
    n = split(mnemonic, part, ".")
    base = part[1]
    if (base !~ vfp) {
        flag("not a VFPv3 instruction")
        next
    }
    if (operands ~ /(^|[^a-z0-9_])q([0-9]|1[0-5])([^0-9]|$)/) {
        flag("a NEON register")
        next
    }
    if (operands ~ /(^|[^a-z0-9_])d(1[6-9]|2[0-9]|3[01])([^0-9]|$)/ &&
        !(base ~ /^v(ld|st)mia$/ && operands ~ /^r([0-9]|1[0-4]), \{d16-d31\}$/)) {
        flag("a register beyond d15")
        next
    }
    has_s = operands ~ /(^|[^a-z0-9_])s([0-9]|[12][0-9]|3[01])([^0-9]|$)/
    for (i = 2; i <= n; i++) {
        type = part[i]
        if (type == "f64") continue
        if (type == "f32" && has_s) continue
        if ((type == "s32" || type == "u32") && base ~ /^vcvtr?/) continue
        if (type == "32" && base ~ /^vmov/) continue
        flag(type == "f32" ? "single precision on d registers (NEON)" : "a ." type " operation")
        next
    }
}
