// Placeholder translation unit for an area library that has no sources yet.
