"""The history of every build: a store of recorded builds (a SQLite file by default, a
PostgreSQL database for an organisation), and the answers over many builds: the trend of each
region along the first-parent chain, the commits that grew a region and what grew in them,
any two recorded builds compared, and the store exported and imported as JSON Lines (or as
OpenMetrics and InfluxDB lines for dashboards).

`engines` speaks to the two databases through one interface, `schema` makes and migrates the
tables, `tables` keeps a build's byte tables compactly (a change against its parent's), `store`
records and reads builds, `answers` walks the chain, and `commands` is `tarnwick history`."""
