"""Placeholder demo; replaced as the SDK grows."""
import _quorl_sdk

print(_quorl_sdk)
