"""Writing what the toolkit makes: every output staged beside its place and
put there whole (staging), and what an output may replace (replaceable)."""
