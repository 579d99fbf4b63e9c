-- The demo's order table; kept across demo restarts.
CREATE TABLE IF NOT EXISTS Orders (
  CustName TEXT,
  Email TEXT,
  Product TEXT,
  Quantity TEXT,
  Comments TEXT,
  Received TEXT DEFAULT CURRENT_TIMESTAMP
);
