"""orvane_data package."""
