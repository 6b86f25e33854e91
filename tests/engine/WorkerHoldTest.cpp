// Filled in by the cooperative-hold work.
