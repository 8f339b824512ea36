// Filled in with the shared borrow registry.
