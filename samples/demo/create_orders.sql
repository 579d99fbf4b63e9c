-- The demo's order table, one row per order form submission; kept across demo
-- restarts. The columns hold the submitted fields (the totals are computed only
-- by the receipt and the confirmation page, after the row is stored).
CREATE TABLE IF NOT EXISTS Orders (
  CustName TEXT,
  Email TEXT,
  Address TEXT,
  Sencha INTEGER,
  Assam INTEGER,
  Oolong INTEGER,
  GiftWrap TEXT,
  Comments TEXT,
  Received TEXT DEFAULT CURRENT_TIMESTAMP
);
