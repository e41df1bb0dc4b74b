"""Two builds compared: their byte tables, how their paths match, the stored reports and baselines
they come from, and the gates a change passes or fails."""
