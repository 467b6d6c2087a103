// Filled in once the shared-memory library works.
