"""The preview's HTML report: its data and writing (writing), the page drawn
from templates/ (page), its screenshots (shots), and the rows made of the
preview's results (rows)."""
from kitlib.report.rows import write_report
from kitlib.report.writing import Box, ReportError, Row, Table, write
