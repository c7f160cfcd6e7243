// 8 x 8 transpose of 16-bit samples within each 128-bit lane of a register,
// for the vector units: `Ops` names the unpack instructions of one register
// width. Everything here has internal linkage, so each unit keeps the copy
// built for its own instruction set.
#pragma once

namespace orvane {
namespace {

// out[k] holds sample k of in[0..7], lane by lane.
template <typename Ops, typename V>
inline void transpose8x8(const V in[8], V out[8]) {
    const V a0 = Ops::lo16(in[0], in[1]);
    const V a1 = Ops::hi16(in[0], in[1]);
    const V a2 = Ops::lo16(in[2], in[3]);
    const V a3 = Ops::hi16(in[2], in[3]);
    const V a4 = Ops::lo16(in[4], in[5]);
    const V a5 = Ops::hi16(in[4], in[5]);
    const V a6 = Ops::lo16(in[6], in[7]);
    const V a7 = Ops::hi16(in[6], in[7]);
    const V b0 = Ops::lo32(a0, a2);
    const V b1 = Ops::hi32(a0, a2);
    const V b2 = Ops::lo32(a1, a3);
    const V b3 = Ops::hi32(a1, a3);
    const V b4 = Ops::lo32(a4, a6);
    const V b5 = Ops::hi32(a4, a6);
    const V b6 = Ops::lo32(a5, a7);
    const V b7 = Ops::hi32(a5, a7);
    out[0] = Ops::lo64(b0, b4);
    out[1] = Ops::hi64(b0, b4);
    out[2] = Ops::lo64(b1, b5);
    out[3] = Ops::hi64(b1, b5);
    out[4] = Ops::lo64(b2, b6);
    out[5] = Ops::hi64(b2, b6);
    out[6] = Ops::lo64(b3, b7);
    out[7] = Ops::hi64(b3, b7);
}

}  // namespace
}  // namespace orvane
