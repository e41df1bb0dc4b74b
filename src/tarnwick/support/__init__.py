"""Below every layer: safe file access and the helpers of the build model's names and symbol lists."""
