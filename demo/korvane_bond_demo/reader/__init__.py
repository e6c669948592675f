"""Reading a folder of market data (``--data DIR``): its layout, its checks, its tables.

A folder holds six tables, each as ``NAME.csv`` or, where ``pyarrow`` is installed,
``NAME.parquet`` (not both). Amounts are per bond of 100 face value, dates
``YYYY-MM-DD``, rates yearly decimals (0.018 is 1.8 %):

- ``instruments``: ``order_book_id``, ``type`` (BOND or REPO), ``symbol``, ``exchange``
  (XSHG, XSHE or IB for bonds; XSHG or XSHE for repos), ``round_lot``, ``issue_price``
  (bonds), ``initial_issue_size`` (bonds, may be empty), ``repo_period`` (repos, calendar
  days), ``listed_date``, ``maturity_date`` (bonds), ``coupon_rate`` (may be empty);
- ``realized_cash_flow``: every bond's payments: ``order_book_id``, ``payment_date``,
  ``cash_flow``, ``principal_payment``, ``interest_payment``, ``remaining_principal``;
- ``implied_cash_flow`` (needed when there is an inter-bank bond): ``order_book_id``,
  ``date``, ``total_payment``, ``payment_receivable``, ``principal_payment``,
  ``interest_payment``;
- ``bond_prices``: ``order_book_id``, ``date``, ``clean_price``, ``accrued_interest``,
  ``full_price``, ``yield``; a bond is quoted on the sessions it can be traded;
- ``repo_rates``: ``order_book_id``, ``date``, ``rate``;
- ``sessions``: ``date``, every trading day the data cover, in order: the run's calendar.

Each table is read and checked one row at a time; the first fault raises
:class:`~korvane_bond_demo.reader.layout.DataError` as soon as it is read, one line naming
the file, the row (``line N`` of a CSV file, as an editor counts, or ``row N`` of a
Parquet file) and the column. The jobs, a module each:

- :mod:`.layout`: the tables and their columns, what a run can represent (dates, sizes),
  the tolerances;
- :mod:`.cells`: each kind of cell, read and bounded;
- :mod:`.table`: a file's rows kept column by column as they are read;
- :mod:`.files`: finding a table's file and reading it, bounded (its size, NUL bytes,
  UTF-8, the CSV or Parquet format);
- :mod:`.rows`: the checks of each row against the tables read before it;
- :mod:`.across`: the checks of whole tables and across them;
- :mod:`.series`: the quotes and rates as sorted arrays;
- :mod:`.folder`: a folder read in order, every check made.

:class:`korvane_bond_demo.dataset.Dataset` is what a run uses of the tables.
"""
