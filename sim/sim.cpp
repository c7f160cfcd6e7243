// Placeholder until the synthetic sensor lands.
