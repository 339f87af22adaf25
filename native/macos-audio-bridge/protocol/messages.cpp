// filled in by its issue
