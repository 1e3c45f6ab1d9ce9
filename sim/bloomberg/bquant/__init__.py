"""Stand-ins for the BQuant platform libraries."""
