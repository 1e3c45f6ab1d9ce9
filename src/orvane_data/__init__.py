"""Market-data access for quantitative research."""
