{{ config(
    materialized='incremental',
    incremental_strategy='microbatch',
    event_time='rate_date',
    batch_size='day',
    begin='2024-01-01',
    concurrent_batches=false,
) }}

-- Daily reference rates, one row per currency and publication day.
select
    cast(rate_date as timestamp) as rate_date,
    currency,
    units_per_eur
from {{ ref('fx_rates_raw') }}
