"""Pathwarden's performance harness: runs watchers side by side on identical trees."""
