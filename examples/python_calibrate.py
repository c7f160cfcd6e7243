# Calibrates `orvane simulate --out sim` from Python and reads the state dump.
import orvane

cs = orvane.load_capture_set("sim/manifest.json")
with orvane.Context(cs.settings) as ctx:
    status, gains = ctx.get_gainmap(cs.flat.raw, cs.sensor, cs.limits)
    for k, frame in enumerate(cs.frames):  # frame indices 0..N-1, lens rising
        status |= ctx.add_raw(k, frame.lens_position, frame.raw, cs.sensor, gains)
    dcc_status, dcc = ctx.get_dccmap("state_dump.bin")
    block = orvane.calibration_block(gains, dcc)  # bytes; block[-1] is the checksum
print("intake:", status.names(), " DCC map:", dcc_status.names(dcc_map=True))
print("DCC per window (fixed point, %d fraction bits):" % dcc.dcc_shift)
print(dcc.grid())

state = orvane.read_state_dump("state_dump.bin")
print("PD per frame and window:", state.pd.shape)  # (frames, win_rows, win_cols)
print("in-focus lens per window:\n", state.peak_lens)
print("lowest PD confidence:", state.confidence.min(axis=0))
