#!/usr/bin/env python3
"""Regenerates the coefficient tables of src/core/fast_math.cpp with mpmath.

    python3 tools/fit_fast_math.py            # rewrite the generated block
    python3 tools/fit_fast_math.py --check    # only print the fit errors

Every polynomial is the interpolant at Chebyshev nodes (close to the minimax
polynomial), computed with 60 digits and then rounded to doubles; the
reported errors are those of the rounded coefficients, evaluated exactly.
"""
import struct
import sys
from pathlib import Path

import mpmath as mp

mp.mp.dps = 60

ERFCX_LOG2_LO = -6      # first binade of the erfcx table: [2^-6, 2^-5)
ERFCX_BINADES = 11      # up to 2^5 = 32
ERFCX_PER_BINADE = 16
ERFCX_DEGREE = 9
EXP_BITS = 7            # 2^(-j/128)
LOG_BITS = 7            # 128 intervals for log
LOG_INVC_BITS = 9       # significant bits of 1/c
LOG_Q_DEGREE = 6        # log1p(u) = u + u^2 Q(u)


def d(x):
    """Nearest double."""
    return float(mp.mpf(x))


def hexd(x):
    return float.hex(float(x))


def bits(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def from_bits(b):
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def round_to_bits(x, nbits):
    """x rounded to nbits significant bits."""
    x = mp.mpf(x)
    e = int(mp.floor(mp.log(abs(x), 2)))
    scale = mp.mpf(2) ** (nbits - 1 - e)
    return mp.nint(x * scale) / scale


def round_to_multiple(x, quantum):
    return mp.nint(mp.mpf(x) / quantum) * quantum


def cheb_fit(f, a, b, n):
    """Monomial coefficients (in the variable x itself) of the degree-n
    interpolant of f at the Chebyshev nodes of [a, b]."""
    a, b = mp.mpf(a), mp.mpf(b)
    nodes = [(a + b) / 2 + (b - a) / 2 * mp.cos(mp.pi * (k + mp.mpf(1) / 2) / (n + 1)) for k in range(n + 1)]
    A = mp.matrix([[x**j for j in range(n + 1)] for x in nodes])
    y = mp.matrix([f(x) for x in nodes])
    c = mp.lu_solve(A, y)
    return [c[j] for j in range(n + 1)]


def horner(c, x):
    s = mp.mpf(0)
    for cj in reversed(c):
        s = s * x + cj
    return s


def grid(a, b, n=60):
    a, b = mp.mpf(a), mp.mpf(b)
    return [a + (b - a) * i / n for i in range(n + 1)]


def erfcx(x):
    return mp.erfc(x) * mp.exp(x * x)


def fit_erfcx():
    rows, worst = [], mp.mpf(0)
    for b in range(ERFCX_BINADES):
        base = mp.mpf(2) ** (ERFCX_LOG2_LO + b)
        step = base / ERFCX_PER_BINADE
        for s in range(ERFCX_PER_BINADE):
            lo = base + s * step
            mid = lo + step / 2
            first = b == 0 and s == 0
            t_lo, t_hi = -step / 2, step / 2
            if first:
                # The first interval reaches down to 0 and is centred there:
                # t = x exactly, and erfc(0) = c0 = 1 comes out exact.
                mid, t_lo, t_hi = mp.mpf(0), mp.mpf(0), lo + step
            c = cheb_fit(lambda t: erfcx(mid + t), t_lo, t_hi, ERFCX_DEGREE)
            if first:
                c[0] = mp.mpf(1)  # off by ~1e-20 from the fit: the exact value
            # c0 hi to 26 bits, as 2^(-j/128) hi below: their product is exact.
            c0_hi = d(round_to_bits(c[0], 26))
            c0_lo = d(c[0] - mp.mpf(c0_hi))
            cr = [c0_hi, c0_lo] + [d(cj) for cj in c[1:]]
            exact = [mp.mpf(c0_hi) + mp.mpf(c0_lo)] + [mp.mpf(v) for v in cr[2:]]
            for t in grid(t_lo, t_hi):
                worst = max(worst, abs(horner(exact, t) / erfcx(mid + t) - 1))
            rows.append((float(mid), cr))
    return rows, worst


def fit_exp_table():
    rows = []
    for j in range(1 << EXP_BITS):
        v = mp.mpf(2) ** (mp.mpf(-j) / (1 << EXP_BITS))
        hi = d(round_to_bits(v, 26))
        rows.append((hi, d(v - mp.mpf(hi))))
    return rows


LOG_OFF = 0x3FF0000000000000 - (1 << 44) - 80 * (1 << 45)


def fit_log():
    rows, umin, umax = [], mp.mpf(0), mp.mpf(0)
    for i in range(1 << LOG_BITS):
        lo_b = LOG_OFF + i * (1 << 45)
        c = mp.mpf(from_bits(lo_b + (1 << 44)))
        zlo, zhi = mp.mpf(from_bits(lo_b)), mp.mpf(from_bits(lo_b + (1 << 45)))
        if c == 1:
            invc = mp.mpf(1)
        else:
            invc = round_to_bits(2 / (zlo + zhi), LOG_INVC_BITS)
        L = -mp.log(invc)
        L_hi = round_to_multiple(L, mp.mpf(2) ** -42)
        rows.append((d(invc), d(L_hi), d(L - L_hi)))
        ulo, uhi = zlo * invc - 1, zhi * invc - 1
        umin, umax = min(umin, ulo), max(umax, uhi)
        # k ln2_hi + L_hi + u is summed by Fast2Sum, which needs |L_hi| >= |u|
        # when k = 0 (and L_hi = 0 only where u = z - 1 alone is summed).
        assert c == 1 or abs(L_hi) > max(abs(ulo), abs(uhi)), i

    def q(u):
        if u == 0:
            return mp.mpf(-1) / 2
        return (mp.log1p(u) - u) / (u * u)

    c = cheb_fit(q, umin, umax, LOG_Q_DEGREE)
    cr = [d(v) for v in c]
    cr[0] = -0.5
    worst = mp.mpf(0)
    for u in grid(umin, umax, 200):
        if u == 0:
            continue
        approx = u + u * u * horner([mp.mpf(v) for v in cr], u)
        worst = max(worst, abs(approx - mp.log1p(u)) / abs(mp.log1p(u)) if abs(u) < 2**-8 else
                    abs(approx - mp.log1p(u)) / 2**-9)
    return rows, cr, worst, umin, umax


def fmt_list(vals, per_line):
    out = []
    for i in range(0, len(vals), per_line):
        out.append("    " + " ".join(hexd(v) + "," for v in vals[i:i + per_line]))
    return "\n".join(out)


def main():
    check = "--check" in sys.argv
    erfcx_rows, erfcx_err = fit_erfcx()
    exp_rows = fit_exp_table()
    log_rows, log_q, log_err, umin, umax = fit_log()
    print(f"erfcx pieces: max relative error 2^{float(mp.log(erfcx_err, 2)):.1f}")
    print(f"log1p on [{float(umin):.5f}, {float(umax):.5f}]: max error 2^{float(mp.log(log_err, 2)):.1f}")
    if check:
        return

    ln2 = mp.log(2)
    ln2_hi = round_to_multiple(ln2, mp.mpf(2) ** -42)
    l128 = ln2 / (1 << EXP_BITS)
    l128_hi = round_to_bits(l128, 34)
    lines = ["// BEGIN GENERATED by tools/fit_fast_math.py (do not edit by hand)"]
    lines.append(f"constexpr double kLn2Hi = {hexd(d(ln2_hi))};  // ln 2 to a multiple of 2^-42")
    lines.append(f"constexpr double kLn2Lo = {hexd(d(ln2 - ln2_hi))};")
    lines.append(f"constexpr double kExpInvStep = {hexd(d(1 / l128))};  // 128 / ln 2")
    lines.append(f"constexpr double kExpStepHi = {hexd(d(l128_hi))};  // ln 2 / 128, 34 bits")
    lines.append(f"constexpr double kExpStepLo = {hexd(d(l128 - l128_hi))};")
    lines.append(f"// log1p(u) = u + u^2 Q(u) for u in [{float(umin):.6f}, {float(umax):.6f}].")
    lines.append(f"constexpr double kLogQ[{len(log_q)}] = {{")
    lines.append(fmt_list(log_q, 3))
    lines.append("};")
    lines.append(f"// 2^(-j/128) as hi (26 bits), lo.")
    lines.append(f"// Two zeros at the end: rows are read four doubles at a time.")
    lines.append(f"alignas(64) constexpr double kExpTable[{2 * len(exp_rows) + 2}] = {{")
    lines.append(fmt_list([v for r in exp_rows for v in r] + [0.0, 0.0], 4))
    lines.append("};")
    lines.append(f"// Per interval of log: 1/c ({LOG_INVC_BITS} bits), -log(1/c) as hi (multiple of 2^-42) and lo, 0.")
    lines.append(f"alignas(64) constexpr double kLogTable[{4 * len(log_rows)}] = {{")
    lines.append(fmt_list([v for r in log_rows for v in r + (0.0,)], 4))
    lines.append("};")
    # c0 hi, c0 lo, c1 .. c9 and mid, padded with zeros to a multiple of 4.
    stride = (ERFCX_DEGREE + 3 + 3) // 4 * 4
    lines.append(f"// erfc(x) exp(x^2) on {len(erfcx_rows)} intervals ({ERFCX_PER_BINADE} per binade from 2^{ERFCX_LOG2_LO},")
    lines.append(f"// the first reaching down to 0), in t = x - mid: c0 hi (26 bits), c0 lo,")
    lines.append(f"// c1 .. c{ERFCX_DEGREE}, then mid itself (0 for the first interval).")
    lines.append(f"constexpr int kErfcxStride = {stride};")
    lines.append(f"alignas(64) constexpr double kErfcxTable[{stride * len(erfcx_rows)}] = {{")
    for mid, cr in erfcx_rows:
        lines.append(f"    // mid {mid!r}")
        lines.append(fmt_list(cr + [mid] + [0.0] * (stride - len(cr) - 1), 4))
    lines.append("};")
    lines.append("// END GENERATED")
    block = "\n".join(lines)

    path = Path(__file__).resolve().parent.parent / "src" / "core" / "fast_math.cpp"
    text = path.read_text()
    start = text.index("// BEGIN GENERATED")
    end = text.index("// END GENERATED") + len("// END GENERATED")
    path.write_text(text[:start] + block + text[end:])
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
