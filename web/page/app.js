// The page: cards of the served supplies, live from /api/events.
