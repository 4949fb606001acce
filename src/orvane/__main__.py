"""A short demonstration of the pcm containers (python -m orvane)."""

from orvane import pcm

data = bytes([0x00, 0x80, 0xFF, 0x7F, 0x01, 0x00, 0xFE, 0xFF])
frames = pcm.FrameList(data, 2, 16, 0, 1)
print(f"SL16 bytes {data.hex(' ')}: {frames.frames} frames x {frames.channels} channels")
print(f"as UB16: {frames.to_bytes(1, 0).hex(' ')}")
