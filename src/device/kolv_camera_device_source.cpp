// filled in by the core commit
